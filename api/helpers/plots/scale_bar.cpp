// scale_bar.cpp: add_scale_bar, an alternating black and white bar of four steps in the lower
// right corner of the view, labelled outwards from a zero at its middle.
#include "scale_bar.hpp"
#include "annotations.hpp"
#include "module_names.hpp"
#include "plan_geometry.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vexa::plots {

namespace {

using namespace nb::literals;

object pair(double a, double b) {
    nb::list l;
    l.append(a);
    l.append(b);
    return l;
}

object add_scale_bar(Args& a) {
    handle ax = a["ax"], scale = a["scale"];  // `position` changes nothing: the bar's place follows the view
    const double denominator = number(scale);
    object xlim = ax.attr("get_xlim")(), ylim = ax.attr("get_ylim")();
    ScaleBarLayout bar;
    try {
        bar = scale_bar_layout(denominator, number(xlim[nb::int_(0)]), number(xlim[nb::int_(1)]),
                               number(ylim[nb::int_(0)]), number(ylim[nb::int_(1)]));
    } catch (const std::domain_error& e) {
        raise(PyExc_ValueError, std::string("add_scale_bar: ") + e.what());
    }
    const double step = double(bar.step);
    object rectangle = bound::patches().attr("Rectangle");
    ax.attr("add_patch")(rectangle(nb::make_tuple(bar.start_x, bar.start_y), bar.total_len_m, bar.bar_height,
                                   "linewidth"_a = 1, "edgecolor"_a = "black", "facecolor"_a = "white",
                                   "zorder"_a = 10));
    const int total_steps = 4, num_steps_left = 2;
    for (int i = 0; i < total_steps; ++i) {
        if (i % 2 == 0) {
            const double seg_start = bar.start_x + i * step;
            ax.attr("add_patch")(rectangle(nb::make_tuple(seg_start, bar.start_y), bar.step, bar.bar_height,
                                           "linewidth"_a = 0, "facecolor"_a = "black", "zorder"_a = 11));
        }
        const double div_x = bar.start_x + (i + 1) * step;
        ax.attr("plot")(pair(div_x, div_x), pair(bar.start_y, bar.start_y + bar.bar_height), "color"_a = "black",
                        "linewidth"_a = 1, "zorder"_a = 12);
    }
    const double tick_bottom = bar.start_y + bar.bar_height;
    for (int i = 0; i <= total_steps; ++i) {
        const double tick_x = bar.start_x + i * step;
        ax.attr("plot")(pair(tick_x, tick_x), pair(tick_bottom, tick_bottom + bar.tick_h), "color"_a = "black",
                        "linewidth"_a = 1, "zorder"_a = 12);
        const long long val = std::llabs((i - num_steps_left) * bar.step);
        ax.attr("text")(tick_x, bar.label_y, std::to_string(val), "ha"_a = "center", "va"_a = "bottom",
                        "fontsize"_a = 9, "fontweight"_a = "bold", "zorder"_a = 13);
    }
    ax.attr("text")(bar.unit_x, bar.label_y, "m", "ha"_a = "left", "va"_a = "bottom", "fontsize"_a = 9,
                    "fontweight"_a = "bold", "zorder"_a = 13);
    return nb::none();
}

}  // namespace

void define_scale_bar() {
    define(ns(),
           {.name = "add_scale_bar",
            .doc = "Draw a four-step scale bar for 1:`scale` in the lower right corner of the current view of `ax` "
                   "(its limits must be final). `position` is accepted and has no effect.",
            .params = {{"ax", annotation::any()},
                       {"scale", builtin::float_type()},
                       {"position", annotation::sequence_of(builtin::float_type()), nb::make_tuple(0.5, 0.05)}},
            .return_annotation = nb::none(),
            .sync_body = add_scale_bar});
}

}  // namespace vexa::plots
