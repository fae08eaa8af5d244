// north_arrow.cpp: add_north_arrow, an arrow pointing to grid north with an "N" above its tip.
#include "north_arrow.hpp"
#include "annotations.hpp"
#include "module_names.hpp"

namespace vexa::plots {

namespace {

using namespace nb::literals;

object add_north_arrow(Args& a) {
    handle ax = a["ax"], loc = a["loc"], size = a["size"];
    object arrow_x = loc[nb::int_(0)];
    object arrow_y = loc[nb::int_(1)];
    const double x = number(arrow_x), y = number(arrow_y), length = number(size);
    ax.attr("text")(x, y + length + 0.01, "N", "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                    "va"_a = "bottom", "fontsize"_a = 12, "fontweight"_a = "bold", "zorder"_a = 10);
    nb::dict arrowprops;
    arrowprops["facecolor"] = "black";
    arrowprops["width"] = 3;
    arrowprops["headwidth"] = 10;
    arrowprops["headlength"] = 12;
    ax.attr("annotate")("", "xy"_a = nb::make_tuple(x, y + length), "xytext"_a = nb::make_tuple(x, y),
                        "xycoords"_a = "axes fraction", "zorder"_a = 10, "arrowprops"_a = arrowprops);
    return nb::none();
}

}  // namespace

void define_north_arrow() {
    object fraction = builtin::float_type();
    define(ns(),
           {.name = "add_north_arrow",
            .doc = "Draw a north arrow on `ax`: its tail at `loc` and its length `size`, both in axes fraction, "
                   "with a bold \"N\" centred above the tip.",
            .params = {{"ax", annotation::any()},
                       {"loc", annotation::sequence_of(fraction), nb::make_tuple(0.85, 0.85)},
                       {"size", fraction, nb::float_(0.1)}},
            .return_annotation = nb::none(),
            .sync_body = add_north_arrow});
}

}  // namespace vexa::plots
