// roads.cpp: the road elements of a plan: lines as a broad translucent grey band, areas as a
// light grey surface with a thin outline; multi-parts and collections walked to any depth.
#include "roads.hpp"

#include <string>

namespace vexa::plots {

namespace {

using namespace nb::literals;

void draw_line(handle ax, handle line) {
    object xy = line.attr("xy");
    ax.attr("plot")(xy[nb::int_(0)], xy[nb::int_(1)], "color"_a = "gray", "linewidth"_a = 3, "alpha"_a = 0.3,
                    "zorder"_a = 1);
}

}  // namespace

void plot_road_element(handle ax, handle geom) {
    const std::string type = text(geom.attr("geom_type"));
    if (type == "Polygon") {
        object xy = geom.attr("exterior").attr("xy");
        object x = xy[nb::int_(0)], y = xy[nb::int_(1)];
        ax.attr("fill")(x, y, "color"_a = "#e6e6e6", "linewidth"_a = 0, "zorder"_a = 1);
        ax.attr("plot")(x, y, "color"_a = "#999999", "linewidth"_a = 0.5, "zorder"_a = 2);
    } else if (type == "MultiPolygon") {
        for (handle part : geom.attr("geoms")) plot_road_element(ax, part);
    } else if (type == "MultiLineString") {
        for (handle part : geom.attr("geoms")) draw_line(ax, part);
    } else if (type == "LineString") {
        draw_line(ax, geom);
    } else if (type == "GeometryCollection") {
        for (handle part : geom.attr("geoms")) plot_road_element(ax, part);
    }
    // Points, rings and anything else leave no mark.
}

}  // namespace vexa::plots
