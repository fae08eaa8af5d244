// plan.cpp: generate_plot, the survey plan of one parcel at a standard scale, as Base64 PNG.
//
// pyplot keeps one current figure per process, so plans drawn at the same time from several
// threads (a web host runs plain endpoints in a thread pool) would draw into each other. The
// figure's whole life, from creation to close, is therefore one critical section; a thread
// waiting for it lets go of the interpreter lock, so the thread inside can go on. The figure is
// closed on every path, failures included, so a long-running host does not collect figures.
#include "plan.hpp"
#include "annotations.hpp"
#include "beacons.hpp"
#include "conversions.hpp"
#include "coordinate_batch.hpp"
#include "module_names.hpp"
#include "north_arrow.hpp"
#include "plan_geometry.hpp"
#include "projection.hpp"
#include "roads.hpp"
#include "scale.hpp"
#include "scale_bar.hpp"

#include <mutex>
#include <vector>

namespace vexa::plots {

namespace {

using namespace nb::literals;

/// Held from a plan's figure() to its close(), as explained at the top. Recursive: a drawing
/// callback may plot a plan itself.
std::recursive_mutex& pyplot_section() {
    static std::recursive_mutex section;
    return section;
}

/// Holds the pyplot section; waiting for it lets go of the interpreter lock.
class PyplotLock {
public:
    PyplotLock() {
        if (!pyplot_section().try_lock()) {
            nb::gil_scoped_release unlocked;
            pyplot_section().lock();
        }
    }
    ~PyplotLock() { pyplot_section().unlock(); }
    PyplotLock(const PyplotLock&) = delete;
    PyplotLock& operator=(const PyplotLock&) = delete;
};

/// Fill the polygon of `geom`'s exterior ring with the keyword arguments `style`.
object ring_fill(handle ax, handle geom, nb::dict style) {
    object xy = geom.attr("exterior").attr("xy");
    return ax.attr("fill")(xy[nb::int_(0)], xy[nb::int_(1)], **style);
}

struct Drawing {
    object ax;
    object target_geom;
    std::vector<Feature> neighbours, roads;
    CoordinateBatch batch;
    object selected;  // the selected record
    object centroid;
    long long scale;
    Bounds view;  // the axes' limits: x minx .. maxx, y miny .. maxy
};

/// Steps inside the figure's life: everything drawn on `d.ax`.
void draw(Drawing& d, object schedule) {
    object ax = d.ax;
    const Bounds v = d.view;
    object viewport_poly = bound::Polygon()(nb::make_tuple(nb::make_tuple(v.minx, v.miny),
                                                           nb::make_tuple(v.maxx, v.miny),
                                                           nb::make_tuple(v.maxx, v.maxy),
                                                           nb::make_tuple(v.minx, v.maxy)));

    // Anything that comes within a metre of the view is tested exactly.
    const Bounds near_view{v.minx - 1, v.miny - 1, v.maxx + 1, v.maxy + 1};
    for (Feature& feature : d.roads) {
        object road = reaching(feature, d.batch, near_view);
        if (!road.is_valid()) continue;
        object clipped = road.attr("intersection")(viewport_poly);
        if (truthy(clipped.attr("is_empty"))) continue;
        plot_road_element(ax, clipped);
    }
    nb::dict neighbour_style;
    neighbour_style["color"] = "#f5f5f5";
    neighbour_style["edgecolor"] = "#888888";
    neighbour_style["linewidth"] = 0.5;
    neighbour_style["zorder"] = 3;
    for (Feature& feature : d.neighbours) {
        object neighbour = reaching(feature, d.batch, near_view);
        if (neighbour.is_valid() && truthy(neighbour.attr("intersects")(viewport_poly)))
            ring_fill(ax, neighbour, neighbour_style);
    }
    nb::dict parcel_style;
    parcel_style["color"] = nb::make_tuple(1, 0.9, 0.9, 1);
    parcel_style["edgecolor"] = "red";
    parcel_style["linewidth"] = 1.5;
    parcel_style["zorder"] = 5;
    ring_fill(ax, d.target_geom, parcel_style);

    const int fontsize = plan_fontsize(double(d.scale));
    object beacons = item_or(d.selected, "boundary", nb::list());
    bound::draw_beacon_labels()(ax, beacons, d.target_geom, d.centroid, d.scale, fontsize, schedule);

    const Vec c = point_xy(d.centroid);
    ax.attr("text")(c.x, c.y + 2.0 * double(d.scale) / 1000, literal_text(pystr(text(d.selected["name"]))),
                    "fontsize"_a = fontsize + 2, "fontweight"_a = "bold", "ha"_a = "center", "va"_a = "bottom",
                    "zorder"_a = 8);
    object area_val = item_or(d.selected, "area", nb::int_(0));
    ax.attr("text")(c.x, c.y - 0.75, literal_text(pystr(text(area_val) + " m\u00b2")), "fontsize"_a = fontsize - 2,
                    "ha"_a = "center", "va"_a = "top", "zorder"_a = 8);

    bound::add_north_arrow()(ax);
    bound::add_scale_bar()(ax, d.scale);
}

object generate_plot(Args& a) {
    handle parcel_data = a["parcel_data"], selected_parcel_number = a["selected_parcel_number"];
    handle road_data = a["road_data"], columnname = a["columnname"];
    handle max_width_mm = a["max_width_mm"], max_height_mm = a["max_height_mm"];
    // `bounding_box` changes nothing: the view follows from the parcel and the scale.
    bound::logger().attr("info")(
        nb::str(("Generating plot for " + text(columnname) + "=" + text(selected_parcel_number)).c_str()));

    object selected;
    for (handle record : parcel_data) {
        if (compare(item(record, columnname), selected_parcel_number, Py_EQ)) {
            selected = nb::borrow(record);
            break;
        }
    }
    if (!selected.is_valid())
        raise(PyExc_ValueError, "Parcel with " + text(columnname) + "=" + text(selected_parcel_number) + " not found.");

    Drawing d;
    d.selected = selected;
    d.target_geom = projected_geometry(item(selected, "geometry"));
    CoordinateBatch* batch = own_projection_in_place() ? &d.batch : nullptr;
    for (handle record : parcel_data)
        if (compare(item(record, columnname), selected_parcel_number, Py_NE))
            d.neighbours.push_back(feature(record, batch));
    if (truthy(road_data))
        for (handle road : road_data) d.roads.push_back(feature(road, batch));

    object bounds = d.target_geom.attr("bounds");
    const Bounds parcel{number(bounds[nb::int_(0)]), number(bounds[nb::int_(1)]), number(bounds[nb::int_(2)]),
                        number(bounds[nb::int_(3)])};
    // The scale that fits the parcel's bounds with 15 m to spare is asked first, before the
    // paper size and the centroid are read: an empty parcel (bounds of NaN) fails right there.
    // The view is centred on the centroid, and choose_view asks again for a lopsided parcel.
    // The scale is the module's get_recommended_scale as bound now; what it gave last is printed
    // and returned.
    const double buffer_m = 15;
    const Vec survey = survey_extent(parcel, buffer_m);
    object scale_obj = bound::get_recommended_scale()(survey.x, survey.y, max_width_mm, max_height_mm);
    const double paper_w = number(max_width_mm), paper_h = number(max_height_mm);
    d.centroid = d.target_geom.attr("centroid");
    const Vec centre = point_xy(d.centroid);
    auto scale_for = [&](double width_m, double height_m) {
        scale_obj = bound::get_recommended_scale()(width_m, height_m, max_width_mm, max_height_mm);
        return nb::cast<long long>(scale_obj);
    };
    const PlanView plan =
        choose_view(parcel, centre, buffer_m, paper_w, paper_h, nb::cast<long long>(scale_obj), scale_for);
    d.scale = plan.scale;
    d.view = plan.view;
    d.batch.project();
    nb::module_::import_("builtins").attr("print")(scale_obj);
    const double fig_w_in = paper_w / 25.4, fig_h_in = paper_h / 25.4;

    nb::list schedule;
    object buf = bound::io().attr("BytesIO")();
    {
        PyplotLock lock;
        object plt = bound::plt();
        object fig = plt.attr("figure")("figsize"_a = nb::make_tuple(fig_w_in, fig_h_in), "dpi"_a = 300);
        try {
            nb::list rect;
            for (int v : {0, 0, 1, 1}) rect.append(v);
            d.ax = fig.attr("add_axes")(rect);
            d.ax.attr("set_aspect")("equal");
            d.ax.attr("set_xlim")(nb::make_tuple(d.view.minx, d.view.maxx));
            d.ax.attr("set_ylim")(nb::make_tuple(d.view.miny, d.view.maxy));
            d.ax.attr("axis")("off");
            draw(d, schedule);
            // Saved through the figure itself: pyplot's savefig would redraw the whole figure once
            // more afterwards (to restore colours after a transparent save), which costs about a
            // fifth of a plan and changes nothing here.
            fig.attr("savefig")(buf, "format"_a = "png", "dpi"_a = 300, "transparent"_a = false);
            buf.attr("seek")(0);
        } catch (...) {
            // Close the figure whatever failed; the drawing's error is the one that goes on.
            try {
                plt.attr("close")(fig);
            } catch (nb::python_error& close_error) {
                close_error.discard_as_unraisable("closing a failed plan's figure");
            }
            throw;
        }
        plt.attr("close")(fig);
    }
    object image64 = bound::base64().attr("b64encode")(buf.attr("getvalue")()).attr("decode")("utf-8");
    return nb::make_tuple(image64, nb::make_tuple(max_width_mm, max_height_mm), scale_obj, schedule);
}

}  // namespace

void define_plan() {
    object any = annotation::any(), length = builtin::float_type();
    object result = builtin::tuple_type()[nb::make_tuple(builtin::str_type(), builtin::tuple_type()[nb::make_tuple(any, any)],
                                                         builtin::int_type(), annotation::schedule())];
    define(ns(),
           {.name = "generate_plot",
            .doc = "Draw the survey plan of the parcel whose `columnname` value equals `selected_parcel_number`: "
                   "neighbours, roads, the parcel, its beacons with bearings and distances, name and area, north "
                   "arrow and scale bar, at the standard scale that fits the paper. Returns (PNG as Base64 text, "
                   "(max_width_mm, max_height_mm), scale, schedule of short edges). Raises ValueError when no "
                   "parcel matches.",
            .params = {{"parcel_data", annotation::records()},
                       {"selected_parcel_number", any},
                       {"road_data", steal(PyNumber_Or(annotation::records().ptr(), Py_None))},
                       {"columnname", builtin::str_type(), pystr("parcel_number")},
                       {"bounding_box", any, nb::none()},
                       {"max_width_mm", length, nb::int_(190)},
                       {"max_height_mm", length, nb::int_(160)}},
            .return_annotation = result,
            .sync_body = generate_plot});
}

}  // namespace vexa::plots
