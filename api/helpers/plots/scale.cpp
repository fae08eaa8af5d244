// scale.cpp: get_recommended_scale, the standard scale at which a survey extent fits the paper.
#include "scale.hpp"
#include "annotations.hpp"
#include "module_names.hpp"
#include "plan_geometry.hpp"

#include <cmath>
#include <stdexcept>

namespace vexa::plots {

namespace {

object get_recommended_scale(Args& a) {
    handle survey_width_m = a["survey_width_m"], survey_height_m = a["survey_height_m"];
    handle max_width_mm = a["max_width_mm"], max_height_mm = a["max_height_mm"];
    const double width = number(survey_width_m);
    if (!(width <= 0)) {
        const double height = number(survey_height_m);
        if (!(height <= 0)) {
            const double paper_w = number(max_width_mm), paper_h = number(max_height_mm);
            // The errors a Python computation of the same formula raises.
            if (paper_w * 0.98 == 0 || paper_h * 0.98 == 0) raise(PyExc_ZeroDivisionError, "float division by zero");
            try {
                return nb::int_(recommended_scale(width, height, paper_w, paper_h));
            } catch (const std::domain_error&) {
                if (std::isnan(width) || std::isnan(height) || std::isnan(paper_w) || std::isnan(paper_h))
                    raise(PyExc_ValueError, "cannot convert float NaN to integer");
                raise(PyExc_OverflowError, "cannot convert float infinity to integer");
            }
        }
    }
    return nb::int_(1000);
}

}  // namespace

void define_scale() {
    object length = builtin::float_type();
    define(ns(),
           {.name = "get_recommended_scale",
            .doc = "Pick the largest standard scale (1:250 ... 1:25000) at which the survey extent fits 98 % of the "
                   "paper; beyond 1:25000 the required scale rounded up to a multiple of 1000.",
            .params = {{"survey_width_m", length},
                       {"survey_height_m", length},
                       {"max_width_mm", length, nb::int_(190)},
                       {"max_height_mm", length, nb::int_(250)}},
            .return_annotation = builtin::int_type(),
            .sync_body = get_recommended_scale});
}

}  // namespace vexa::plots
