// A window read where it lies in the image instead of from a cut-out copy.
#pragma once

#include <cstdint>

#include "pd/pd.h"

namespace orvane {

struct roi_view {
    const uint16_t* origin;  // top-left sample; rows are image_width apart
    uint16_t width;
    uint16_t height;
};

// True when cut_roi would copy a non-empty rectangle straight out of the
// image: the rectangle passes the range test and no column or row lies past
// the image edge (where the cut-out repeats the last one). Then `view` says where the
// cut-out's samples are and what size cut_roi would report.
bool roi_in_place(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                  const roi_rect& rect, roi_view* view);

}  // namespace orvane
