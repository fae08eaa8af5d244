// beacons.cpp: draw_beacon_labels, the beacon pass of a plan: a dot and the name of every
// corner beacon, and along every boundary edge its stored bearing (degrees and minutes as
// two texts) and distance, or, for an edge too short to carry them, an entry in the schedule.
#include "beacons.hpp"
#include "annotations.hpp"
#include "conversions.hpp"
#include "module_names.hpp"
#include "plan_geometry.hpp"
#include "projection.hpp"

#include <vector>

namespace vexa::plots {

namespace {

using namespace nb::literals;

/// The beacon's name outside the parcel, along the bisector of its corner.
void draw_name(handle ax, handle beacon, Vec b, Corner corner, handle target_geom, handle point_type, double scale,
               handle fontsize) {
    object name = item(beacon, "beacon_name");
    const Py_ssize_t text_len = PyObject_Length(name.ptr());
    if (text_len < 0) raise_current();
    const double offset_m = label_offset_m(scale, text_len);
    Vec bisector = *label_direction(b, corner.previous, corner.next);
    double lx = b.x + bisector.x * offset_m, ly = b.y + bisector.y * offset_m;
    if (truthy(target_geom.attr("contains")(point_type(lx, ly)))) {
        bisector = {-bisector.x, -bisector.y};
        lx = b.x + bisector.x * offset_m;
        ly = b.y + bisector.y * offset_m;
    }
    ax.attr("text")(lx, ly, literal_text(name), "fontsize"_a = fontsize, "ha"_a = "center", "va"_a = "center",
                    "rotation"_a = upright_label_angle(bisector), "rotation_mode"_a = "anchor", "zorder"_a = 7);
}

object draw_beacon_labels(Args& a) {
    handle ax = a["ax"], beacons = a["beacons"], target_geom = a["target_geom"], centroid = a["centroid"];
    handle fontsize = a["fontsize"], schedule = a["schedule"];
    const double scale = number(a["scale"]);
    const Vec centre = point_xy(centroid);
    object point_type = nb::module_::import_("shapely.geometry").attr("Point");
    object empty = nb::str(""), zero = nb::int_(0), unknown = nb::str("?");
    object edge_fontsize = steal(PyNumber_Subtract(fontsize.ptr(), nb::int_(1).ptr()));

    std::vector<object> records;
    for (handle record : beacons) records.push_back(nb::borrow(record));
    const size_t n = records.size();
    std::vector<Vec> ring;  // each beacon projected once, reused as successor and predecessor
    ring.reserve(n);
    for (const object& record : records)
        ring.push_back(point_xy(projected_geometry(item(record, "geometry"))));

    for (size_t i = 0; i < n; ++i) {
        const object& beacon = records[i];
        const Vec b = ring[i];
        const Vec next = ring[(i + 1) % n];
        ax.attr("plot")(b.x, b.y, "marker"_a = "o", "color"_a = "black", "markersize"_a = 3, "zorder"_a = 6);
        // A beacon recorded twice in a row is one corner: named once, and only the edge of no
        // length between its records goes without texts.
        const std::optional<Corner> corner = named_corner(ring, i);
        if (corner) draw_name(ax, beacon, b, *corner, target_geom, point_type, scale, fontsize);
        if (coincide(b, next)) continue;

        const EdgeLayout edge = edge_layout(b, next, centre, scale);
        object deg = item_or(beacon, "bearing_deg_to_next", empty);
        object minutes = item_or(beacon, "bearing_min_to_next", empty);
        object distance = item_or(beacon, "distance_to_next", zero);
        if (edge.annotate) {
            const Vec deg_at = edge.is_reversed ? edge.three_quarter_pos : edge.quarter_pos;
            const Vec min_at = edge.is_reversed ? edge.quarter_pos : edge.three_quarter_pos;
            for (auto [value, where] : {std::pair{deg, deg_at}, std::pair{minutes, min_at}})
                ax.attr("text")(where.x, where.y, literal_text(nb::str(value)), "fontsize"_a = edge_fontsize,
                                "ha"_a = "center", "va"_a = "center", "rotation"_a = edge.line_angle,
                                "rotation_mode"_a = "anchor", "zorder"_a = 7);
            ax.attr("text")(edge.distance_pos.x, edge.distance_pos.y, formatted(distance, ".2f") + "m",
                            "fontsize"_a = edge_fontsize, "ha"_a = "center", "va"_a = "center",
                            "rotation"_a = edge.line_angle, "rotation_mode"_a = "anchor", "fontweight"_a = "bold",
                            "zorder"_a = 7);
        } else {
            nb::dict entry;
            entry["from"] = item_or(beacon, "beacon_name", unknown);
            entry["to"] = item_or(records[(i + 1) % n], "beacon_name", unknown);
            entry["bearing"] = nb::str((text(deg) + " " + text(minutes)).c_str());
            entry["distance"] = pystr(formatted(distance, ".2f"));
            schedule.attr("append")(entry);
        }
    }
    return nb::none();
}

}  // namespace

void define_beacons() {
    define(ns(),
           {.name = "draw_beacon_labels",
            .doc = "Mark every beacon of the parcel, name it outside the parcel along the bisector of its corner, "
                   "and write each boundary edge's stored bearing and distance along it; edges of 15 paper mm or "
                   "less are appended to `schedule` instead.",
            .params = {{"ax", annotation::any()},
                       {"beacons", annotation::records()},
                       {"target_geom", annotation::any()},
                       {"centroid", annotation::any()},
                       {"scale", builtin::float_type()},
                       {"fontsize", builtin::int_type()},
                       {"schedule", annotation::schedule()}},
            .return_annotation = nb::none(),
            .sync_body = draw_beacon_labels});
}

}  // namespace vexa::plots
