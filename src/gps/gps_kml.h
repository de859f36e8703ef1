#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "gps/gps_fix.h"

namespace tivra::gps {

// What every GPS document needs besides the source's data.
struct GpsDocumentContext {
  std::string baseUrl;       // "http://localhost:%d" with this server's port
  std::string documentName;  // the GPS document name chosen at start ("%ld.kml")
  std::string iconHost;      // scheme and host of the public icon set (`IconHost`)
};

// The small document handed to the globe at start: a fly-to link to the GPS document.
std::string buildGpsEntryDocument(int port, std::string_view documentName);

// "Created" time of the GPS document: local date and time with strftime "%c".
std::string formatCreated(std::time_t now);

// The GPS document: look-at, styles, the first 20 track points, the track, the car and the two
// update links. Resets the sent count to the points it carries.
std::string buildGpsDocument(GpsData& data, const GpsDocumentContext& context,
                             std::string_view created);

// The update document: at most 20 new points, the car moved to the newest of them and the track
// segments extended. Raises the sent count.
std::string buildUpdateDocument(GpsData& data, const GpsDocumentContext& context, double carScale);

// The satellites document: a model per satellite of the table, placed in the sky above the
// newest fix; without a fix the folder is empty.
std::string buildSatellitesDocument(GpsData& data, const GpsDocumentContext& context);

// Where a satellite at (elevation, azimuth) seen from (latitude, longitude) is drawn: on a
// sphere of 26,500 km radius, at 20,200 km altitude.
struct SkyPosition {
  double longitude, latitude, altitude;
};
SkyPosition satellitePosition(double latitude, double longitude, double elevation, double azimuth);

}  // namespace tivra::gps
