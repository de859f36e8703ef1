#pragma once

// Service text placed into KML. The services write names like "A<B" or "A & B"; copied as they
// stand they make the whole document malformed and the globe loads nothing.

#include <string>
#include <string_view>

namespace tivra::search {

// Element text outside CDATA: "<" as "&lt;", an "&" that does not begin a reference the
// document can resolve (lt, gt, amp, apos, quot, a numeric character reference) as "&amp;",
// the ">" of "]]>" as "&gt;". References the service already wrote stay as they are.
void appendElementText(std::string& out, std::string_view text);

// Text inside a CDATA section: every "]]>" split across two sections.
void appendCdataText(std::string& out, std::string_view text);

// Service text inside a balloon, which the globe shows as HTML: "<", ">", a double and a single
// quote as references, an "&" that does not begin a reference (as above) as "&amp;". The text
// then shows as the service wrote it and adds no markup of its own ("<script>" stays text, a
// quote cannot leave an attribute). Safe inside CDATA as well: no "]]>" remains.
void appendBalloonText(std::string& out, std::string_view text);

// Balloon text written as element text: the escaped HTML escaped once more, so that what the
// reader unescapes is that HTML.
void appendBalloonElementText(std::string& out, std::string_view text);

// The text as a reader of element text sees it: the references appendElementText keeps
// resolved, for writers that escape the plain text on their own (GPX).
std::string resolveReferences(std::string_view text);

// All of them drop the control characters that XML 1.0 forbids (all below 0x20 but tab, LF, CR).

}  // namespace tivra::search
