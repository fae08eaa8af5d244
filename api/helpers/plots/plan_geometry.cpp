// plan_geometry.cpp: scale and view choice, scale bar, font sizes, label and edge text placement. The
// arithmetic follows the order in which a surveyor's reference computation does it, so that
// boundary cases (186.2 m fitting 1:1000 or not) come out the same.
#include "plan_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vexa::plots {

long long recommended_scale(double width_m, double height_m, double paper_w_mm, double paper_h_mm) {
    if (width_m <= 0) return 1000;
    if (height_m <= 0) return 1000;
    const double scale_w = (width_m * 1000) / (paper_w_mm * 0.98);
    const double scale_h = (height_m * 1000) / (paper_h_mm * 0.98);
    if (std::isnan(scale_w) || std::isnan(scale_h)) throw std::domain_error("scale is not a number");
    const double required = scale_w > scale_h ? scale_w : scale_h;
    static const long long standard[] = {250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000};
    for (long long s : standard)
        if (double(s) >= required) return s;
    const double rounded = std::ceil(required / 1000) * 1000;
    if (!std::isfinite(rounded) || rounded > 9.2e18) throw std::domain_error("scale is not a finite number");
    return static_cast<long long>(rounded);
}

long long scale_bar_step(double scale) {
    const double target_world_m = 50 * scale / 1000;
    const double approx_step = target_world_m / 4;
    if (!std::isfinite(approx_step)) throw std::domain_error("scale bar step is not a finite number");
    static const long long nice_steps[] = {1, 2, 5, 10, 20, 25, 50, 100};
    long long step = nice_steps[0];
    double best = std::fabs(double(step) - approx_step);
    for (long long candidate : nice_steps) {
        const double d = std::fabs(double(candidate) - approx_step);
        if (d < best) {
            best = d;
            step = candidate;
        }
    }
    if (approx_step > 100) {
        const double hundreds = std::nearbyint(approx_step / 100);  // ties to even
        if (hundreds * 100 > 9.2e18) throw std::domain_error("scale bar step is too large");
        step = static_cast<long long>(hundreds) * 100;
    }
    return step;
}

ScaleBarLayout scale_bar_layout(double scale, double x0, double x1, double y0, double y1) {
    ScaleBarLayout bar{};
    bar.step = scale_bar_step(scale);
    bar.total_len_m = 4 * bar.step;
    const double view_w = x1 - x0;
    const double view_h = y1 - y0;
    const double margin_x = view_w * 0.05;
    const double margin_y = view_h * 0.02;
    bar.end_x = x1 - margin_x;
    bar.start_x = bar.end_x - double(bar.total_len_m);
    bar.start_y = y0 + margin_y;
    bar.bar_height = view_h * 0.015;
    bar.tick_h = bar.bar_height * 0.5;
    bar.label_y = bar.start_y + bar.bar_height + bar.tick_h * 1.2;
    bar.unit_x = (bar.start_x + double(4 * bar.step)) + view_w * 0.01;
    return bar;
}

bool apart(Bounds a, Bounds b) {
    return a.maxx < b.minx || b.maxx < a.minx || a.maxy < b.miny || b.maxy < a.miny;
}

std::optional<Bounds> bounds_of(const double* xs, const double* ys, size_t count) {
    if (count == 0) return std::nullopt;
    Bounds b{xs[0], ys[0], xs[0], ys[0]};
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) return std::nullopt;
        b.minx = std::min(b.minx, xs[i]);
        b.maxx = std::max(b.maxx, xs[i]);
        b.miny = std::min(b.miny, ys[i]);
        b.maxy = std::max(b.maxy, ys[i]);
    }
    return b;
}

Vec survey_extent(Bounds parcel, double margin_m) {
    return {(parcel.maxx - parcel.minx) + 2 * margin_m, (parcel.maxy - parcel.miny) + 2 * margin_m};
}

namespace {

/// The paper at 1:`scale` as ground, centred on `centre`.
Bounds centred_view(Vec centre, double paper_w_mm, double paper_h_mm, long long scale) {
    const double view_w_m = paper_w_mm * double(scale) / 1000;
    const double view_h_m = paper_h_mm * double(scale) / 1000;
    return {centre.x - view_w_m / 2, centre.y - view_h_m / 2, centre.x + view_w_m / 2, centre.y + view_h_m / 2};
}

/// Whether `view` holds `parcel` with `margin_m` to spare on every side.
bool view_holds(Bounds view, Bounds parcel, double margin_m) {
    return view.minx <= parcel.minx - margin_m && parcel.maxx + margin_m <= view.maxx &&
           view.miny <= parcel.miny - margin_m && parcel.maxy + margin_m <= view.maxy;
}

/// Width and height of the smallest view centred on `centre` that holds `parcel` with
/// `margin_m` to spare on every side.
Vec centred_extent(Bounds parcel, Vec centre, double margin_m) {
    const double half_w = std::max(centre.x - parcel.minx, parcel.maxx - centre.x) + margin_m;
    const double half_h = std::max(centre.y - parcel.miny, parcel.maxy - centre.y) + margin_m;
    return {2 * half_w, 2 * half_h};
}

}  // namespace

PlanView choose_view(Bounds parcel, Vec centre, double margin_m, double paper_w_mm, double paper_h_mm,
                     long long fitted_scale, const ScaleFor& scale_for) {
    const Bounds fitted = centred_view(centre, paper_w_mm, paper_h_mm, fitted_scale);
    if (view_holds(fitted, parcel, margin_m)) return {fitted_scale, fitted};
    const Vec shown = centred_extent(parcel, centre, margin_m);
    const long long scale = scale_for(shown.x, shown.y);
    return {scale, centred_view(centre, paper_w_mm, paper_h_mm, scale)};
}

int plan_fontsize(double scale) {
    const int base_fontsize = 10;
    const int font_scale_adj = scale < 2000 ? 0 : (scale < 5000 ? 1 : 2);
    return std::max(6, base_fontsize - font_scale_adj);
}

double direction_deg(Vec v) { return std::atan2(v.y, v.x) * 180.0 / std::numbers::pi; }

double upright_label_angle(Vec direction) {
    double angle = direction_deg(direction);
    if ((90 < angle && angle < 270) || (-270 < angle && angle < -90)) angle += 180;
    return angle;
}

namespace {
double norm(Vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }
}  // namespace

std::optional<Vec> label_direction(Vec beacon, Vec previous, Vec next) {
    const Vec vec_prev{previous.x - beacon.x, previous.y - beacon.y};
    const Vec vec_next{next.x - beacon.x, next.y - beacon.y};
    const double norm_prev = norm(vec_prev), norm_next = norm(vec_next);
    if (norm_prev == 0 || norm_next == 0) return std::nullopt;
    const Vec u_prev{vec_prev.x / norm_prev, vec_prev.y / norm_prev};
    const Vec u_next{vec_next.x / norm_next, vec_next.y / norm_next};
    Vec bisector{u_prev.x + u_next.x, u_prev.y + u_next.y};
    if (norm(bisector) == 0) bisector = {-u_next.y, u_next.x};
    const double length = norm(bisector);
    return Vec{bisector.x / length, bisector.y / length};
}

bool coincide(Vec a, Vec b) { return norm({b.x - a.x, b.y - a.y}) == 0; }

std::optional<Corner> named_corner(const std::vector<Vec>& ring, size_t i) {
    const size_t n = ring.size();
    const Vec here = ring[i];
    const Vec next = ring[(i + 1) % n];
    if (coincide(here, next)) return std::nullopt;  // a later record at this point names it
    for (size_t back = 1; back < n; ++back) {
        const Vec previous = ring[(i + n - back) % n];
        if (!coincide(here, previous)) return Corner{previous, next};
    }
    return std::nullopt;  // unreachable: `next` lies elsewhere
}

double label_offset_m(double scale, long long text_len) {
    const double base_offset = 9;
    const double extra_offset = std::max(0.0, double(text_len - 4) * 1.5);
    return scale / 1000 * (base_offset + extra_offset);
}

EdgeLayout edge_layout(Vec from, Vec to, Vec centroid, double scale) {
    EdgeLayout edge{};
    const double mid_x = (from.x + to.x) / 2, mid_y = (from.y + to.y) / 2;
    const Vec line_vec{to.x - from.x, to.y - from.y};
    edge.line_len = norm(line_vec);
    const Vec line_unit{line_vec.x / edge.line_len, line_vec.y / edge.line_len};
    edge.line_angle = direction_deg(line_unit);
    if ((90 < edge.line_angle && edge.line_angle <= 270) || (-270 <= edge.line_angle && edge.line_angle < -90)) {
        edge.line_angle += 180;
        edge.is_reversed = true;
    }
    edge.perp = {-line_unit.y, line_unit.x};
    if (edge.perp.x * (centroid.x - mid_x) + edge.perp.y * (centroid.y - mid_y) > 0)
        edge.perp = {-edge.perp.x, -edge.perp.y};
    const double offset_dist = scale / 1000 * 2;
    edge.distance_pos = {mid_x - edge.perp.x * offset_dist, mid_y - edge.perp.y * offset_dist};
    const double min_len_for_label = scale / 1000 * 15;
    edge.annotate = edge.line_len > min_len_for_label;
    const double q1 = edge.line_len * 0.25, q3 = edge.line_len * 0.75;
    edge.quarter_pos = {from.x + line_unit.x * q1 + edge.perp.x * offset_dist,
                        from.y + line_unit.y * q1 + edge.perp.y * offset_dist};
    edge.three_quarter_pos = {from.x + line_unit.x * q3 + edge.perp.x * offset_dist,
                              from.y + line_unit.y * q3 + edge.perp.y * offset_dist};
    return edge;
}

}  // namespace vexa::plots
