#include "gif/mgiflzwenc.hpp"

namespace zoetra {

void BindRasterByteView(RasterByteView& view, const cDIB& raster) {
  view.base = raster.lpBits();
  view.row_length = raster.BytesPerScanline();
  view.row_count = raster.Height();
}

}  // namespace zoetra
