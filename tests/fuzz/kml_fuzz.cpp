// Fetched KML is outside input: read it, apply its changes, walk the result.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "globe/globe_view.h"
#include "globe/kml_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra::globe;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    ParsedKml kml = parseKml(text, "http://127.0.0.1:11000/dir/doc.kml");
    for (KmlUpdate& u : kml.updates) {
      for (UpdateOp& op : u.ops) {
        for (auto& payload : op.payload) {
          KmlNode target;
          target.kind = payload->kind;
          applyChange(target, std::move(*payload));
        }
      }
    }
    const ViewGeometry view = makeViewGeometry(Camera{39.9, 116.4, 0, 1, 5000, 0, 0}, 64, 48, 60);
    for (const auto& f : kml.features) {
      if (f->link && f->link->viewFormat) (void)fillViewFormat(*f->link->viewFormat, view);
    }
  } catch (const KmlParseError&) {
  }
  (void)parseCoordinates(text, 1000);
  (void)parseKmlColor(text);
  return 0;
}
