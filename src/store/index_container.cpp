#include "store/index_container.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "store/byte_order.h"
#include "store/store_fault.h"

namespace tivra::store {
namespace {

// Program-wide: stamps of every cache page come from here.
std::atomic<std::uint64_t> g_accessCounter{0};

std::uint64_t tick() {
  return g_accessCounter.fetch_add(1, std::memory_order_relaxed) + 1;
}

constexpr std::uint8_t kMagic[4] = {'A', 'B', 'C', 'D'};
constexpr std::int64_t kMaxChannelLength = std::numeric_limits<std::int32_t>::max();

bool headerFits(std::size_t channels, std::size_t pageSize) {
  return 8 + 8 * channels <= pageSize;
}

std::uint64_t stripePages(const Container& c) {
  std::uint64_t s = 0;
  for (const Channel& ch : c.channels) s += static_cast<std::uint64_t>(ch.factor);
  return s;
}

// File byte offset of the first page of unit `unit` of channel `index`.
std::uint64_t unitFileOffset(const Container& c, std::size_t index, std::uint64_t unit) {
  std::uint64_t before = 0;
  for (std::size_t i = 0; i < index; ++i)
    before += static_cast<std::uint64_t>(c.channels[i].factor);
  return c.pageSize * (1 + before + unit * stripePages(c));
}

// File byte offset of page k of unit `unit` of channel `index`.
std::uint64_t pageFileOffset(const Container& c, std::size_t index, std::uint64_t unit,
                             std::size_t k) {
  return unitFileOffset(c, index, unit) + k * c.pageSize;
}

void writeBack(Container& c, std::size_t index, CachePage& page) {
  if (page.clean() || !page.valid) return;
  const auto f = static_cast<std::size_t>(c.channels[index].factor);
  for (std::size_t k = 0; k < f;) {
    if (((page.dirty >> k) & 1) == 0) {
      ++k;
      continue;
    }
    std::size_t end = k;
    while (end < f && ((page.dirty >> end) & 1) != 0) ++end;
    const std::span<const std::uint8_t> run(page.bytes.data() + k * c.pageSize,
                                            (end - k) * c.pageSize);
    if (!c.file->writeAt(pageFileOffset(c, index, page.unit, k), run))
      throw detail::IoFailure("cannot write index file " + c.path.string());
    k = end;
  }
  page.dirty = 0;
}

std::vector<std::uint8_t> newPageBuffer(std::size_t size) {
  try {
    return std::vector<std::uint8_t>(size);
  } catch (const std::bad_alloc&) {
    std::fputs("Internal error: not enough memory for cache page. Aborting...\n", stderr);
    std::exit(-1);
  }
}

// Returns the cache page holding `unit`, taking a new one or displacing the least recently
// used page of the same channel when it is not in memory.
CachePage& loadUnit(Container& c, std::size_t index, std::uint64_t unit) {
  Channel& ch = c.channels[index];
  if (unit < ch.slot.size() && ch.slot[unit] >= 0) {
    CachePage& page = ch.pages[static_cast<std::size_t>(ch.slot[unit])];
    if (page.valid && page.unit == unit) return page;
  }
  const std::size_t unitBytes = static_cast<std::size_t>(ch.factor) * c.pageSize;
  CachePage* target = nullptr;
  if (ch.pages.size() < c.maxPages) {
    ch.pages.push_back(CachePage{newPageBuffer(unitBytes), 0, 0, unit, 0, false});
    target = &ch.pages.back();
  } else {
    target = &*std::min_element(
        ch.pages.begin(), ch.pages.end(),
        [](const CachePage& a, const CachePage& b) { return a.stamp < b.stamp; });
    writeBack(c, index, *target);  // throws and keeps the page when it cannot be written
    if (target->valid && target->unit < ch.slot.size()) ch.slot[target->unit] = -1;
  }
  if (unit >= ch.slot.size()) ch.slot.resize(static_cast<std::size_t>(unit) + 1, -1);
  ch.slot[unit] = static_cast<std::int32_t>(target - ch.pages.data());
  target->unit = unit;
  target->loaded = 0;
  target->dirty = 0;
  target->valid = true;
  target->stamp = accessCounter();
  return *target;
}

// Reads page k of the cached unit from the file if it is not there yet.
void loadPage(Container& c, std::size_t index, CachePage& page, std::size_t k) {
  if (((page.loaded >> k) & 1) != 0) return;
  const std::span<std::uint8_t> out(page.bytes.data() + k * c.pageSize, c.pageSize);
  const std::int64_t got = c.file->readAt(pageFileOffset(c, index, page.unit, k), out);
  if (got < 0) throw detail::IoFailure("cannot read index file " + c.path.string());
  std::fill(out.begin() + got, out.end(), std::uint8_t{0});
  page.loaded |= std::uint64_t{1} << k;
}

template <typename Copy>
std::int64_t walkPages(Container& c, int channel, std::size_t count, bool wholePageWrite,
                       Copy copy) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= c.channels.size()) return -1;
  const auto index = static_cast<std::size_t>(channel);
  Channel& ch = c.channels[index];
  tick();
  const std::uint64_t unitBytes = static_cast<std::uint64_t>(ch.factor) * c.pageSize;
  std::size_t done = 0;
  while (done < count) {
    const std::uint64_t pos = ch.position + done;
    const std::uint64_t inPage = pos % c.pageSize;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(c.pageSize - inPage, count - done));
    CachePage& page = loadUnit(c, index, pos / unitBytes);
    const auto at = static_cast<std::size_t>(pos % unitBytes);
    const std::size_t k = at / c.pageSize;
    // A write covering the whole page needs nothing from the file.
    if (!(wholePageWrite && n == c.pageSize)) loadPage(c, index, page, k);
    copy(page, at, done, n);
    page.stamp = tick();
    done += n;
  }
  ch.position += count;
  return static_cast<std::int64_t>(count);
}

}  // namespace

std::uint64_t accessCounter() {
  return g_accessCounter.load(std::memory_order_relaxed);
}

std::size_t storePageSize(std::size_t requested) {
  if (requested != 0) return std::max<std::size_t>(requested, 256);
  const long p = ::sysconf(_SC_PAGESIZE);
  return p < 256 ? 256 : static_cast<std::size_t>(p);
}

std::unique_ptr<Container> container_create(const FileSystem& fs, const std::filesystem::path& path,
                                            std::size_t pageSize) {
  return container_create(fs.open(path, OpenMode::kCreate), path, pageSize);
}

std::unique_ptr<Container> container_create(std::unique_ptr<File> file,
                                            const std::filesystem::path& path,
                                            std::size_t pageSize) {
  if (!file) return nullptr;
  std::uint8_t header[8] = {};
  std::memcpy(header, kMagic, 4);
  if (!file->writeAt(0, header)) return nullptr;
  auto c = std::make_unique<Container>();
  c->file = std::move(file);
  c->path = path;
  c->pageSize = pageSize;
  tick();
  return c;
}

std::unique_ptr<Container> container_open(const FileSystem& fs, const std::filesystem::path& path,
                                          bool writable, std::size_t pageSize) {
  return container_open(fs.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead), path,
                        writable, pageSize);
}

std::unique_ptr<Container> container_open(std::unique_ptr<File> file,
                                          const std::filesystem::path& path, bool writable,
                                          std::size_t pageSize) {
  if (!file) return nullptr;
  const std::int64_t fileSize = file->size();
  if (fileSize < 0) return nullptr;
  std::uint8_t head[8];
  if (file->readAt(0, head) != 8 || std::memcmp(head, kMagic, 4) != 0) return nullptr;
  const std::size_t count = getLe32(head + 4) & 0xFFFF;
  // A header that cannot fit its page only comes from a damaged file: refuse it here rather
  // than fail on the first access.
  if (!headerFits(count, pageSize)) return nullptr;
  std::vector<std::uint8_t> table(8 * count);
  if (count > 0 && file->readAt(8, table) != static_cast<std::int64_t>(table.size()))
    return nullptr;
  auto c = std::make_unique<Container>();
  c->file = std::move(file);
  c->path = path;
  c->pageSize = pageSize;
  c->writable = writable;
  for (std::size_t i = 0; i < count; ++i) {
    const auto factor = static_cast<std::int32_t>(getLe32(&table[8 * i]));
    const auto length = static_cast<std::int32_t>(getLe32(&table[8 * i + 4]));
    if (factor < 1 || factor > kMaxChannelFactor || length < 0) return nullptr;
    Channel ch;
    ch.factor = factor;
    ch.length = length;
    c->channels.push_back(std::move(ch));
  }
  // Every byte below a length was written, so its page is in the file: a length reaching past
  // the end of the file is damage, and refusing it keeps every scan within the real file.
  for (std::size_t i = 0; i < count; ++i) {
    const Channel& ch = c->channels[i];
    if (ch.length == 0) continue;
    const std::uint64_t page = static_cast<std::uint64_t>(ch.length - 1) / pageSize;
    const auto f = static_cast<std::uint64_t>(ch.factor);
    if (pageFileOffset(*c, i, page / f, static_cast<std::size_t>(page % f)) >=
        static_cast<std::uint64_t>(fileSize))
      return nullptr;
  }
  tick();
  try {
    for (std::size_t i = 0; i < count; ++i) loadUnit(*c, i, 0);
  } catch (const detail::IoFailure&) {
    return nullptr;
  }
  return c;
}

int channel_add(Container& c, std::int32_t factor) {
  if (factor < 1 || factor > kMaxChannelFactor || !headerFits(c.channels.size() + 1, c.pageSize))
    return -1;
  Channel ch;
  ch.factor = factor;
  c.channels.push_back(std::move(ch));
  const auto index = c.channels.size() - 1;
  loadUnit(c, index, 0);
  return static_cast<int>(index);
}

std::int64_t channel_seek(Container& c, int channel, std::uint64_t offset) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= c.channels.size()) return -1;
  c.channels[static_cast<std::size_t>(channel)].position = offset;
  return static_cast<std::int64_t>(offset);
}

std::int64_t channel_read(Container& c, int channel, std::span<std::uint8_t> out) {
  // A record read lies in one page of a unit that is cached and loaded, most of the time: the
  // same copy and stamp as the walk below, without it.
  if (channel >= 0 && static_cast<std::size_t>(channel) < c.channels.size()) {
    Channel& ch = c.channels[static_cast<std::size_t>(channel)];
    const std::uint64_t unitBytes = static_cast<std::uint64_t>(ch.factor) * c.pageSize;
    const std::uint64_t unit = ch.position / unitBytes;
    const auto at = static_cast<std::size_t>(ch.position % unitBytes);
    if (unit < ch.slot.size() && ch.slot[unit] >= 0 && at % c.pageSize + out.size() <= c.pageSize) {
      CachePage& page = ch.pages[static_cast<std::size_t>(ch.slot[unit])];
      if (page.valid && page.unit == unit && ((page.loaded >> (at / c.pageSize)) & 1) != 0) {
        std::memcpy(out.data(), page.bytes.data() + at, out.size());
        page.stamp = tick();
        ch.position += out.size();
        return static_cast<std::int64_t>(out.size());
      }
    }
  }
  return walkPages(c, channel, out.size(), false,
                   [&](CachePage& page, std::size_t at, std::size_t done, std::size_t n) {
                     std::memcpy(out.data() + done, page.bytes.data() + at, n);
                   });
}

std::int64_t channel_write(Container& c, int channel, std::span<const std::uint8_t> data) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= c.channels.size()) return -1;
  Channel& ch = c.channels[static_cast<std::size_t>(channel)];
  // The length is stored in 32 signed bits.
  if (ch.position + data.size() > static_cast<std::uint64_t>(kMaxChannelLength)) return -1;
  const std::int64_t n =
      walkPages(c, channel, data.size(), true,
                [&](CachePage& page, std::size_t at, std::size_t done, std::size_t count) {
                  std::memcpy(page.bytes.data() + at, data.data() + done, count);
                  const std::uint64_t bit = std::uint64_t{1} << (at / c.pageSize);
                  page.dirty |= bit;
                  page.loaded |= bit;
                });
  if (n > 0 && static_cast<std::int64_t>(ch.position) > ch.length)
    ch.length = static_cast<std::int64_t>(ch.position);
  return n;
}

void container_forget(Container& c) {
  for (Channel& ch : c.channels) {
    if (std::any_of(ch.pages.begin(), ch.pages.end(),
                    [](const CachePage& p) { return !p.clean(); }))
      continue;
    ch.pages.clear();
    std::fill(ch.slot.begin(), ch.slot.end(), -1);
  }
}

bool container_sync(Container& c) {
  if (!c.writable) return true;
  bool ok = true;
  for (std::size_t i = 0; i < c.channels.size(); ++i) {
    for (CachePage& page : c.channels[i].pages) {
      try {
        writeBack(c, i, page);
      } catch (const detail::IoFailure&) {
        ok = false;
      }
    }
  }
  ok = c.file->flush() && ok;
  std::vector<std::uint8_t> header(8 + 8 * c.channels.size());
  std::memcpy(header.data(), kMagic, 4);
  putLe32(&header[4], static_cast<std::uint32_t>(c.channels.size()));
  for (std::size_t i = 0; i < c.channels.size(); ++i) {
    putLe32(&header[8 + 8 * i], static_cast<std::uint32_t>(c.channels[i].factor));
    putLe32(&header[12 + 8 * i], static_cast<std::uint32_t>(c.channels[i].length));
  }
  return c.file->writeAt(0, header) && ok;
}

bool container_close(std::unique_ptr<Container> c, bool cutToSize) {
  if (!c) return false;
  return container_finish(*c, cutToSize);
}

bool container_finish(Container& container, bool cutToSize) {
  Container* c = &container;
  tick();
  if (!c->writable) return true;
  bool ok = container_sync(*c);
  if (cutToSize && ok) {
    // Stripes per channel as the format has always counted them (one more than needed at page
    // boundaries; the extra pages read as zero).
    std::uint64_t stripes = 0;
    for (const Channel& ch : c->channels) {
      const auto l = static_cast<std::uint64_t>(ch.length);
      stripes = std::max<std::uint64_t>(
          stripes, ((l / c->pageSize) + 1) / static_cast<std::uint64_t>(ch.factor) + 1);
    }
    ok = c->file->truncate(c->pageSize * (stripes * stripePages(*c) + 1));
  }
  ok = c->file->flush() && ok;
  return ok;
}

}  // namespace tivra::store
