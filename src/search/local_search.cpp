#include "search/local_search.h"

#include <algorithm>
#include <span>

#include "platform/gbk.h"
#include "platform/text.h"

namespace tivra::search {

const std::array<std::string_view, 69> kSearchCities = {
    "北京", "天津",   "上海", "重庆",   "石家庄", "保定",   "唐山", "太原", "呼和浩特", "广州",
    "深圳", "龙岗",   "宝安", "珠海",   "东莞",   "樟木头", "虎门", "佛山", "顺德",     "惠州",
    "中山", "汕头",   "江门", "海口",   "南京",   "无锡",   "江阴", "南通", "常州",     "扬州",
    "苏州", "张家港", "昆山", "杭州",   "宁波",   "台州",   "温州", "绍兴", "金华",     "合肥",
    "济南", "青岛",   "烟台", "威海",   "淄博",   "潍坊",   "南昌", "福州", "厦门",     "泉州",
    "长沙", "武汉",   "宜昌", "郑州",   "成都",   "绵阳",   "昆明", "拉萨", "贵阳",     "南宁",
    "沈阳", "大连",   "长春", "哈尔滨", "银川",   "西安",   "西宁", "兰州", "乌鲁木齐"};

bool isSearchCity(std::string_view city) {
  return std::find(kSearchCities.begin(), kSearchCities.end(), city) != kSearchCities.end();
}

std::string serviceBase(std::string_view host) {
  const auto startsWith = [&](std::string_view scheme) {
    return host.size() >= scheme.size() &&
           platform::equalsIgnoreCase(host.substr(0, scheme.size()), scheme);
  };
  if (startsWith("http://") || startsWith("https://")) return std::string(host);
  return "http://" + std::string(host);
}

std::optional<std::string> downloadFailure(const tiles::FetchResult& fetched) {
  const int status = fetched.status;
  // fetch_url hands back a redirect's status with the body its target answered.
  const bool usable = (status >= 200 && status <= 299) || (status >= 301 && status <= 303);
  if (status == 0) return "no answer";
  if (!usable) return platform::format("HTTP status %d", status);
  if (!fetched.body) return "the answer broke off";
  return std::nullopt;
}

std::string percentEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> BuildSearchUrl(std::string_view base, const SearchQuery& query,
                                          Offsets offsets) {
  const auto city = platform::utf8ToGbk(query.city);
  const auto keyword = platform::utf8ToGbk(query.keyword);
  if (!city || !keyword) return std::nullopt;
  std::string url(base);
  url += "/LocalSearch?LocalSearch&city=";
  url += percentEncode(*city);
  long radius = 5000;
  if (query.view) {
    const PointE5 centre = DegreesToE5(query.view->longitude, query.view->latitude);
    const auto shifted =
        ParsePointList(GlobeToMapList(pointListText(std::span(&centre, 1)), offsets));
    const PointE5 p = shifted.empty() ? PointE5{} : shifted.front();
    platform::appendFormat(url, "&area=POINT(%ld%%20%ld)", static_cast<long>(p.x),
                           static_cast<long>(p.y));
    radius = detail::saturate(tiles::truncToInt64(query.view->range));
  }
  url += "&words=";
  url += percentEncode(*keyword);
  if (!query.view) url += "&areaNum=1";
  url += "&showName=1&pagecap=100";
  platform::appendFormat(url, "&radius=%ld", radius);
  return url;
}

namespace {

// One attribute key and the member it fills, in the order the cursor looks for them.
enum class Member {
  Id,
  Lsid,
  Name,
  Address,
  Phone,
  Lon,
  Lat,
  Lside,
  Lsidn,
  Distance,
  Province,
  City,
  District,
  Class1,
  Class2,
  Class3
};
struct AttributeKey {
  std::string_view key;
  Member member;
};
constexpr AttributeKey kKeys[] = {
    {"Poi id=\"", Member::Id},
    {"LSID v=\"", Member::Lsid},
    {"Na v=\"", Member::Name},
    {"Add v=\"", Member::Address},
    {"Tel v=\"", Member::Phone},
    {"Geo lo=\"", Member::Lon},
    {"la=\"", Member::Lat},
    {"LSIDE v=\"", Member::Lside},
    {"LSIDN v=\"", Member::Lsidn},
    {"Dis v=\"", Member::Distance},
    {"Admin pro=\"", Member::Province},
    {"city=\"", Member::City},
    {"dis=\"", Member::District},
    {"Class g1=\"", Member::Class1},
    {"g2=\"", Member::Class2},
    {"g3=\"", Member::Class3},
};

void assign(PoiRecord& r, Member member, std::string_view value) {
  switch (member) {
    case Member::Id:
      r.id = platform::parseInt(value);
      break;
    case Member::Lsid:
      r.lsid = value;
      break;
    case Member::Name:
      r.name = value;
      break;
    case Member::Address:
      r.address = value;
      break;
    case Member::Phone:
      r.phone = value;
      break;
    case Member::Lon:
      r.lon = platform::parseInt(value);
      break;
    case Member::Lat:
      r.lat = platform::parseInt(value);
      break;
    case Member::Lside:
      r.lside = value;
      break;
    case Member::Lsidn:
      r.lsidn = value;
      break;
    case Member::Distance:
      r.distance = value;
      break;
    case Member::Province:
      r.province = value;
      break;
    case Member::City:
      r.city = value;
      break;
    case Member::District:
      r.district = value;
      break;
    case Member::Class1:
      r.class1 = value;
      break;
    case Member::Class2:
      r.class2 = value;
      break;
    case Member::Class3:
      r.class3 = value;
      break;
  }
}

// <Poi id="7"><LSID v="..."/><Na v="name"/>...<Geo lo="11639712" la="3990357"/>...</Poi>
// A forward-only cursor: a key is looked for after the quote that closed the previous value, so
// attributes written out of this order are missed; a value without its closing quote ends the
// element.
PoiRecord ExtractAttributes(std::string_view element) {
  PoiRecord record;
  std::size_t cursor = 0;
  bool ended = false;
  for (const AttributeKey& k : kKeys) {
    if (ended) break;
    const std::size_t at = element.find(k.key, cursor);
    if (at == std::string_view::npos) continue;
    const std::size_t valueStart = at + k.key.size();
    const std::size_t quote = element.find('"', valueStart);
    if (quote == std::string_view::npos) {
      ended = true;
      continue;
    }
    assign(record, k.member, element.substr(valueStart, quote - valueStart));
    cursor = quote;
  }
  return record;
}

}  // namespace

std::vector<PoiRecord> ParseSearchResponse(std::string_view answer, Offsets offsets,
                                           AnswerNotes* notes) {
  std::vector<PoiRecord> records;
  std::size_t from = 0;
  bool ended = false;
  while (!ended && records.size() < kMaxRecords) {
    const std::size_t open = answer.find("<Poi ", from);
    if (open == std::string_view::npos) break;
    const std::size_t close = answer.find("</Poi>", open);
    // Without its closing tag the element is empty: a record of empty members, then the end.
    ended = close == std::string_view::npos;
    const std::string_view element =
        ended ? std::string_view{} : answer.substr(open, close - open + 6);
    records.push_back(ExtractAttributes(element));
    from = close;
  }
  AnswerNotes found;
  found.cut = !ended && records.size() == kMaxRecords &&
              answer.find("<Poi ", from) != std::string_view::npos;
  std::vector<PointE5> positions;
  positions.reserve(records.size());
  for (const PoiRecord& r : records) positions.push_back(PointE5{r.lon, r.lat});
  const std::vector<PointE5> globe = MapToGlobe(positions, offsets);
  std::vector<PoiRecord> kept;
  kept.reserve(records.size());
  for (std::size_t i = 0; i < records.size() && i < globe.size(); ++i) {
    if (!onGlobe(positions[i]) || !onGlobe(globe[i])) {
      ++found.refused;
      continue;
    }
    records[i].lon = globe[i].x;
    records[i].lat = globe[i].y;
    kept.push_back(std::move(records[i]));
  }
  if (notes != nullptr) *notes = found;
  return kept;
}

std::vector<PoiRecord> parseSearchAnswer(std::string_view gbkAnswer, Offsets offsets,
                                         AnswerNotes* notes) {
  return ParseSearchResponse(platform::gbkToUtf8(gbkAnswer), offsets, notes);
}

}  // namespace tivra::search
