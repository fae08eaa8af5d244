// plan_geometry.hpp: the survey plan's numbers that need no interpreter: scale and view choice,
// scale bar steps and layout, font sizes, and the placement of beacon labels and edge texts. All
// ground lengths are metres; paper lengths are millimetres, turned into ground metres by
// multiplying by scale / 1000.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vexa::plots {

/// Denominator of the largest standard scale at which the extent fits 98 % of the paper, or
/// the required denominator rounded up to a multiple of 1000 beyond 1:25000. Non-positive
/// extents give 1000. Throws std::domain_error when the required denominator is not finite
/// (a NaN or infinite extent, or a zero paper size).
long long recommended_scale(double width_m, double height_m, double paper_w_mm, double paper_h_mm);

/// The scale bar's step in metres for a plan at 1:`scale`: the "nice" step nearest a quarter
/// of 50 paper mm (ties to the smaller), or beyond 100 m a whole number of hundreds, half to
/// even. Throws std::domain_error for a scale whose step is not finite.
long long scale_bar_step(double scale);

/// Where the bar goes inside the view [x0, x1] x [y0, y1].
struct ScaleBarLayout {
    long long step;
    long long total_len_m;  // four steps
    double start_x, end_x, start_y;
    double bar_height, tick_h;
    double label_y;  // bottom of the labels and of the unit
    double unit_x;   // left of the unit "m"
};
ScaleBarLayout scale_bar_layout(double scale, double x0, double x1, double y0, double y1);

/// A 2-vector of the plan's ground: a position (x east, y north, in metres) or a direction.
struct Vec {
    double x, y;
};

/// A rectangle of ground metres.
struct Bounds {
    double minx, miny, maxx, maxy;
};

/// Whether nothing inside `a` can touch `b`: they lie apart along x or y.
bool apart(Bounds a, Bounds b);

/// Bounds of `count` points; nothing when a coordinate is not finite (or there are none).
std::optional<Bounds> bounds_of(const double* xs, const double* ys, size_t count);

/// Width and height of the ground a plan of `parcel` must show to leave `margin_m` to spare
/// around its bounds.
Vec survey_extent(Bounds parcel, double margin_m);

/// A plan's scale (denominator N of 1:N) and the ground its view shows.
struct PlanView {
    long long scale;
    Bounds view;  // x limits minx .. maxx, y limits miny .. maxy
};

/// The denominator of the scale at which ground of `width_m` x `height_m` fits the paper.
using ScaleFor = std::function<long long(double width_m, double height_m)>;

/// The view of a plan of `parcel`: the paper (`paper_w_mm` x `paper_h_mm`) at its scale,
/// centred on `centre`, the parcel's centroid. `fitted_scale` is the one chosen for
/// survey_extent(parcel, margin_m). A lopsided parcel's centroid lies off the middle of its
/// bounds, so that view may cut the parcel off: the scale is then asked of `scale_for` for the
/// smallest view centred on `centre` that holds the parcel with its margin. `scale_for` is
/// asked at most once, and what it throws goes on unchanged.
PlanView choose_view(Bounds parcel, Vec centre, double margin_m, double paper_w_mm, double paper_h_mm,
                     long long fitted_scale, const ScaleFor& scale_for);

/// Font size of a plan's beacon names: 10 below 1:2000, 9 below 1:5000, else 8.
int plan_fontsize(double scale);

/// atan2 in degrees, in (-180, 180].
double direction_deg(Vec v);

/// Rotation of a beacon name along `direction`: turned by 180 when it would read upside down
/// (strictly between 90 and 270, or -270 and -90).
double upright_label_angle(Vec direction);

/// The direction of a beacon's name label from the beacon: the bisector of the directions to
/// its neighbours, or the left normal of the direction to the next one when they are exactly
/// opposite. Nothing when the beacon coincides with a neighbour.
std::optional<Vec> label_direction(Vec beacon, Vec previous, Vec next);

/// Where the name of beacon `i` of the closed boundary `ring` goes: a beacon recorded more
/// than once in a row at one point is named once, by the last of those records (the one whose
/// edge leaves the point), and its neighbours are the nearest positions elsewhere on either
/// side. Nothing for the other records of such a run, or when every beacon is at one point.
struct Corner {
    Vec previous, next;
};
std::optional<Corner> named_corner(const std::vector<Vec>& ring, size_t i);

/// Whether two positions are one (the edge between them has no length).
bool coincide(Vec a, Vec b);

/// Distance in ground metres of a beacon name of `text_len` characters from its beacon.
double label_offset_m(double scale, long long text_len);

/// Everything placed along one boundary edge, from `from` to `to`.
struct EdgeLayout {
    double line_len;
    double line_angle;  // text rotation, never upside down
    bool is_reversed;   // the angle was turned: the degrees text goes to the far quarter
    Vec perp;           // unit normal pointing away from the centroid
    Vec distance_pos;   // 2 paper mm inside the edge, towards the centroid
    Vec quarter_pos;    // quarter point, 2 paper mm outside
    Vec three_quarter_pos;
    bool annotate;  // longer than 15 paper mm; otherwise the edge goes to the schedule
};
EdgeLayout edge_layout(Vec from, Vec to, Vec centroid, double scale);

}  // namespace vexa::plots
