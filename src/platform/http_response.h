#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tivra::platform {

// The response envelopes of the local server. Google Earth reads these bytes, so they are
// fixed exactly: no header beyond the three lines of a full response, and the end of every
// response is the server closing the connection.
inline constexpr std::string_view kStatusOk = "HTTP/1.1 200 OK\r\n";
inline constexpr std::string_view kKmlContentType =
    "Content-Type: application/vnd.google-earth.kml+xml\r\n\r\n";
inline constexpr std::string_view kPngContentType = "Content-Type: image/png\r\n\r\n";
inline constexpr std::string_view kKmzContentType =
    "Content-Type: application/vnd.google-earth.kmz\r\n\r\n";
inline constexpr std::string_view kNotFoundResponse = "HTTP/1.1 404 OK\r\n\r\n";

// Appends status line, "Content-Length:" of the body alone, the content-type line and the body.
void appendFullResponse(std::string& out, std::string_view contentTypeLine, std::string_view body);
void appendFullResponse(std::string& out, std::string_view contentTypeLine,
                        std::span<const unsigned char> body);

// The redirect of a tile that cannot be had to the placeholder image. With digits, the
// transparent-mode form "T<colour><range>"; the digits are written with "%d" as they come.
void appendPlaceholderRedirect(std::string& out, int port);
void appendPlaceholderRedirect(std::string& out, int port, int colourDigit, int rangeDigit);

// KML text: one element per line, each ending in "\n".
inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
inline constexpr std::string_view kKml20Root = "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n";
inline constexpr std::string_view kKml21Root = "<kml xmlns=\"http://earth.google.com/kml/2.1\">\n";
inline constexpr std::string_view kKmlEnd = "</kml>\n";

// Sent bare when a document has nothing to show.
inline constexpr std::string_view kEmptyKmlDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kml xmlns=\"http://earth.google.com/kml/2.1\">\n"
    "<Document>\n"
    "<visibility>0</visibility>\n"
    "</Document>\n"
    "</kml>\n";

// "http://localhost:" and the port: the start of every URL that points back to this server.
std::string localBaseUrl(int port);

}  // namespace tivra::platform
