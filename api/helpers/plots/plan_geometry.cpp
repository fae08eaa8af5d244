// plan_geometry.cpp: scale choice, scale bar steps, label placement.
#include "plan_geometry.hpp"

#include <cmath>

namespace vexa::plots {

long long recommended_scale(double width_m, double height_m, double paper_w_mm, double paper_h_mm) {
    if (width_m <= 0 || height_m <= 0) return 1000;
    const double scale_w = (width_m * 1000) / (paper_w_mm * 0.98);
    const double scale_h = (height_m * 1000) / (paper_h_mm * 0.98);
    const double required = scale_w > scale_h ? scale_w : scale_h;
    static const long long standard[] = {250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000};
    for (long long s : standard)
        if (double(s) >= required) return s;
    return (long long)(std::ceil(required / 1000) * 1000);
}

}  // namespace vexa::plots
