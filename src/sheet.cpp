// Container access, worksheet formula records and the formula text report.
//
// The ZIP reader works in place over the caller's bytes:
//  * The end-of-central-directory record (and its ZIP64 twins) and the
//    central directory are validated up front; any inconsistency makes the
//    whole archive unreadable, since nothing else in it can then be trusted.
//  * A part is found through the central directory, which governs sizes,
//    method and CRC; the local header is only checked for its signature and
//    for its name and extra lengths staying inside the bytes.
//  * A declared uncompressed size is never trusted for an allocation: stored
//    data must be exactly that long, and DEFLATE cannot expand more than 1032
//    to 1, so a larger claim fails before anything is reserved.
#include "sheet.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "ptg.h"

namespace mdn {

namespace {

constexpr std::uint32_t kEocdSignature = 0x06054b50;
constexpr std::uint32_t kZip64EocdSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEocdSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EocdSize = 56;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kMaxCommentLength = 0xFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint64_t kDeflateMaxRatio = 1032;

struct DirectoryLocation {
  std::uint64_t entry_count;
  std::uint64_t size;
  std::uint64_t offset;
  std::size_t end;  // where the directory must end: the first end record
};

// Searches backwards for an end record whose comment fits in the bytes.
std::optional<std::size_t> find_eocd(Bytes d) {
  if (d.size() < kEocdSize) return std::nullopt;
  std::size_t last = d.size() - kEocdSize;
  std::size_t first = last > kMaxCommentLength ? last - kMaxCommentLength : 0;
  for (std::size_t p = last + 1; p-- > first;) {
    if (load_u32(d.data() + p) != kEocdSignature) continue;
    std::size_t comment = load_u16(d.data() + p + 20);
    if (d.size() - (p + kEocdSize) >= comment) return p;
  }
  return std::nullopt;
}

// Fields of the classic end record; 0xFFFF.. values defer to the ZIP64 record.
struct ClassicEnd {
  std::uint16_t disk, cd_disk, entries_here, entries_total;
  std::uint32_t cd_size, cd_offset;
  bool needs_zip64() const {
    return disk == 0xFFFF || cd_disk == 0xFFFF || entries_here == 0xFFFF || entries_total == 0xFFFF ||
           cd_size == 0xFFFFFFFF || cd_offset == 0xFFFFFFFF;
  }
};

// Takes the ZIP64 value where the classic field holds its sentinel, and
// otherwise insists that both records agree.
bool merge_field(std::uint64_t classic, std::uint64_t sentinel, std::uint64_t zip64, std::uint64_t& out) {
  if (classic != sentinel && classic != zip64) return false;
  out = zip64;
  return true;
}

std::optional<DirectoryLocation> read_zip64_end(Bytes d, std::size_t eocd, const ClassicEnd& c) {
  if (eocd < kZip64LocatorSize) return std::nullopt;
  const std::uint8_t* loc = d.data() + eocd - kZip64LocatorSize;
  if (load_u32(loc) != kZip64LocatorSignature) return std::nullopt;
  std::uint32_t zip64_disk = load_u32(loc + 4);
  std::uint64_t zip64_offset = load_u64(loc + 8);
  std::uint32_t disk_count = load_u32(loc + 16);
  if (zip64_disk != 0 || disk_count != 1) return std::nullopt;
  std::size_t limit = eocd - kZip64LocatorSize;
  if (zip64_offset > limit || limit - zip64_offset < kZip64EocdSize) return std::nullopt;
  const std::uint8_t* z = d.data() + zip64_offset;
  if (load_u32(z) != kZip64EocdSignature) return std::nullopt;
  std::uint64_t record_size = load_u64(z + 4);
  if (record_size < kZip64EocdSize - 12 || record_size - (kZip64EocdSize - 12) > limit - zip64_offset - kZip64EocdSize)
    return std::nullopt;
  std::uint32_t disk = load_u32(z + 16), cd_disk = load_u32(z + 20);
  std::uint64_t here = load_u64(z + 24), total = load_u64(z + 32);
  if (disk != 0 || cd_disk != 0 || here != total) return std::nullopt;
  DirectoryLocation out{};
  std::uint64_t merged_here = 0;
  if (!merge_field(c.disk, 0xFFFF, disk, merged_here) || !merge_field(c.cd_disk, 0xFFFF, cd_disk, merged_here) ||
      !merge_field(c.entries_here, 0xFFFF, here, merged_here) ||
      !merge_field(c.entries_total, 0xFFFF, total, out.entry_count) ||
      !merge_field(c.cd_size, 0xFFFFFFFF, load_u64(z + 40), out.size) ||
      !merge_field(c.cd_offset, 0xFFFFFFFF, load_u64(z + 48), out.offset))
    return std::nullopt;
  out.end = static_cast<std::size_t>(zip64_offset);
  return out;
}

std::optional<DirectoryLocation> locate_directory(Bytes d) {
  auto eocd = find_eocd(d);
  if (!eocd) return std::nullopt;
  const std::uint8_t* e = d.data() + *eocd;
  ClassicEnd c{load_u16(e + 4), load_u16(e + 6), load_u16(e + 8), load_u16(e + 10), load_u32(e + 12),
               load_u32(e + 16)};
  bool has_locator = *eocd >= kZip64LocatorSize && load_u32(e - kZip64LocatorSize) == kZip64LocatorSignature;
  if (c.needs_zip64() || has_locator) return read_zip64_end(d, *eocd, c);
  if (c.disk != 0 || c.cd_disk != 0 || c.entries_here != c.entries_total) return std::nullopt;
  return DirectoryLocation{c.entries_total, c.cd_size, c.cd_offset, *eocd};
}

// Reads the ZIP64 extended-information extra field: only the fields whose
// central-directory value holds the 0xFFFFFFFF sentinel are present, in the
// order uncompressed size, compressed size, local header offset.
bool apply_zip64_extra(Bytes extra, ZipEntry& entry, bool usize_sentinel, bool csize_sentinel,
                       bool offset_sentinel) {
  std::size_t p = 0;
  while (extra.size() - p >= 4) {
    std::uint16_t id = load_u16(extra.data() + p);
    std::uint16_t len = load_u16(extra.data() + p + 2);
    p += 4;
    if (extra.size() - p < len) return false;
    if (id == kZip64ExtraId) {
      Bytes field = extra.subspan(p, len);
      std::size_t q = 0;
      auto take = [&](std::uint64_t& out) {
        if (field.size() - q < 8) return false;
        out = load_u64(field.data() + q);
        q += 8;
        return true;
      };
      return (!usize_sentinel || take(entry.uncompressed_size)) &&
             (!csize_sentinel || take(entry.compressed_size)) && (!offset_sentinel || take(entry.local_offset));
    }
    p += len;
  }
  return !usize_sentinel && !csize_sentinel && !offset_sentinel;
}

// Parses one central directory header at `p`; advances `p` past it.
std::optional<ZipEntry> read_central_header(Bytes dir, std::size_t& p) {
  if (dir.size() - p < kCentralHeaderSize) return std::nullopt;
  const std::uint8_t* h = dir.data() + p;
  if (load_u32(h) != kCentralSignature) return std::nullopt;
  std::size_t name_len = load_u16(h + 28), extra_len = load_u16(h + 30), comment_len = load_u16(h + 32);
  std::size_t variable = name_len + extra_len + comment_len;
  if (dir.size() - p - kCentralHeaderSize < variable) return std::nullopt;
  ZipEntry entry{};
  entry.flags = load_u16(h + 8);
  entry.method = load_u16(h + 10);
  entry.crc32 = load_u32(h + 16);
  entry.compressed_size = load_u32(h + 20);
  entry.uncompressed_size = load_u32(h + 24);
  entry.local_offset = load_u32(h + 42);
  entry.name = std::string_view(reinterpret_cast<const char*>(h + kCentralHeaderSize), name_len);
  Bytes extra = dir.subspan(p + kCentralHeaderSize + name_len, extra_len);
  if (!apply_zip64_extra(extra, entry, entry.uncompressed_size == 0xFFFFFFFF, entry.compressed_size == 0xFFFFFFFF,
                         entry.local_offset == 0xFFFFFFFF))
    return std::nullopt;
  p += kCentralHeaderSize + variable;
  return entry;
}

// The start of an entry's data, after checking its local header.
std::optional<std::size_t> local_data_start(Bytes d, const ZipEntry& entry) {
  if (entry.local_offset > d.size() || d.size() - entry.local_offset < kLocalHeaderSize) return std::nullopt;
  std::size_t p = static_cast<std::size_t>(entry.local_offset);
  const std::uint8_t* h = d.data() + p;
  if (load_u32(h) != kLocalSignature) return std::nullopt;
  std::size_t variable = std::size_t{load_u16(h + 26)} + load_u16(h + 28);
  if (d.size() - p - kLocalHeaderSize < variable) return std::nullopt;
  return p + kLocalHeaderSize + variable;
}

std::unique_ptr<std::uint8_t[]> allocate_part(std::uint64_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - 1) return nullptr;
  // Zero-length parts still get a distinct buffer, so views are never null.
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size) + 1]);
}

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// Inflates exactly `out_size` bytes; bytes after the end of the stream are ignored.
bool inflate_exact(Bytes in, std::uint8_t* out, std::size_t out_size) {
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
  if (!d) return false;
  std::size_t in_used = 0, out_made = 0;
  auto r = libdeflate_deflate_decompress_ex(d.get(), in.data(), in.size(), out, out_size, &in_used, &out_made);
  return r == LIBDEFLATE_SUCCESS && out_made == out_size;
}

}  // namespace

Result<Container> open_container(Bytes data) {
  auto location = locate_directory(data);
  if (!location || location->offset > location->end || location->end - location->offset < location->size)
    return fail(DecodeError::not_a_container);
  Bytes dir = data.subspan(static_cast<std::size_t>(location->offset), static_cast<std::size_t>(location->size));
  // Every entry takes at least a fixed header, which bounds the count.
  if (location->entry_count > dir.size() / kCentralHeaderSize) return fail(DecodeError::not_a_container);
  Container c{data, {}, {}};
  c.entries.reserve(static_cast<std::size_t>(location->entry_count));
  c.by_name.reserve(static_cast<std::size_t>(location->entry_count));
  std::size_t p = 0;
  for (std::uint64_t i = 0; i < location->entry_count; ++i) {
    auto entry = read_central_header(dir, p);
    if (!entry) return fail(DecodeError::not_a_container);
    c.by_name.try_emplace(entry->name, c.entries.size());
    c.entries.push_back(*entry);
  }
  return c;
}

Result<PartBytes> read_zip_entry(const Container& container, std::string_view part_name) {
  auto found = container.by_name.find(part_name);
  if (found == container.by_name.end()) return fail(DecodeError::zip_entry_not_found);
  const ZipEntry& entry = container.entries[found->second];
  if ((entry.flags & kFlagEncrypted) || (entry.method != kMethodStored && entry.method != kMethodDeflate))
    return fail(DecodeError::zip_entry_not_found);
  auto start = local_data_start(container.data, entry);
  if (!start) return fail(DecodeError::zip_entry_not_found);
  Bytes d = container.data;
  if (d.size() - *start < entry.compressed_size) return fail(DecodeError::zip_entry_read_failed);
  Bytes in = d.subspan(*start, static_cast<std::size_t>(entry.compressed_size));
  std::uint64_t out_size = entry.uncompressed_size;
  bool plausible = entry.method == kMethodStored
                       ? out_size == in.size()
                       : out_size / kDeflateMaxRatio <= in.size();  // at most 1032:1, rounding up
  if (!plausible) return fail(DecodeError::zip_entry_read_failed);
  PartBytes part{allocate_part(out_size), static_cast<std::size_t>(out_size)};
  if (!part.storage) return fail(DecodeError::zip_entry_read_failed);
  if (entry.method == kMethodStored) {
    std::copy(in.begin(), in.end(), part.storage.get());
  } else if (!inflate_exact(in, part.storage.get(), part.size)) {
    return fail(DecodeError::zip_entry_read_failed);
  }
  if (libdeflate_crc32(0, part.storage.get(), part.size) != entry.crc32) return fail(DecodeError::zip_entry_read_failed);
  return part;
}

std::string part_path(std::string_view target) {
  while (!target.empty() && target.front() == '/') target.remove_prefix(1);
  if (target.starts_with("xl/")) target.remove_prefix(3);
  std::string out = "xl/";
  out += target;
  return out;
}

// ---------------------------------------------------------------------------
// Formula records.

namespace {

// Reads `cce`, `rgce`, `cb`, `rgcb` starting at offset `h`.
Result<std::pair<Bytes, Bytes>> read_parsed_formula(Bytes payload, std::size_t at) {
  TRY(std::uint32_t cce, read_u32(payload, at));
  TRY(Bytes rgce, read_bytes(payload, at + 4, cce));
  std::size_t cb_at = at + 4 + rgce.size();
  TRY(std::uint32_t cb, read_u32(payload, cb_at));
  TRY(Bytes rgcb, read_bytes(payload, cb_at + 4, cb));
  return std::pair{rgce, rgcb};
}

}  // namespace

Result<FormulaCell> read_formula_cell(std::uint16_t id, Bytes payload) {
  TRY(std::uint32_t col, read_u32(payload, 0));
  std::size_t h = 11;
  if (id == cell_id::fmla_string) {
    if (payload.size() < 12) return fail(DecodeError::read_past_end_u32);
    h = 14 + 2 * std::size_t{load_u32(payload.data() + 8)};
  } else if (id == cell_id::fmla_num) {
    h = 18;
  }
  TRY(auto formula, read_parsed_formula(payload, h));
  return FormulaCell{col & kColumnMask, formula.first, formula.second};
}

Result<GroupFormula> read_group_formula(std::uint16_t id, Bytes payload) {
  if (payload.size() < 16) return fail(DecodeError::read_past_end_u32);
  std::size_t flags_bytes = id == cell_id::arr_fmla ? 1 : 0;
  TRY(auto formula, read_parsed_formula(payload, 16 + flags_bytes));
  const std::uint8_t* p = payload.data();
  return GroupFormula{load_u32(p), load_u32(p + 4), load_u32(p + 8), load_u32(p + 12), formula.first, formula.second};
}

double decode_rk(std::uint32_t rk) noexcept {
  double value;
  if (rk & 0x2) {
    value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&value, &bits, sizeof value);
  }
  return (rk & 0x1) ? value / 100.0 : value;
}

// ---------------------------------------------------------------------------
// Opening a workbook.

Result<OpenedWorkbook> open_workbook(Bytes data) {
  TRY(Container container, open_container(data));
  TRY(PartBytes workbook_part, read_zip_entry(container, "xl/workbook.bin"));
  TRY(Workbook workbook, parse_workbook(workbook_part.view()));
  TRY(PartBytes rels_part, read_zip_entry(container, "xl/_rels/workbook.bin.rels"));
  TRY(RelationshipMap rels, parse_workbook_rels(rels_part.view()));
  std::vector<WorksheetEntry> worksheets = worksheet_entries(workbook, rels);
  return OpenedWorkbook{std::move(container), std::move(workbook), std::move(worksheets)};
}

// ---------------------------------------------------------------------------
// Collecting the formula records of a worksheet.

namespace {

void collect_formula_cell(const Record& r, std::uint32_t row, SheetFormulas& out) {
  auto cell = read_formula_cell(r.id, r.payload);
  if (!cell) {
    out.walk_errors.push_back(cell.error());
  } else if (is_follower(cell->rgce)) {
    out.followers.push_back({row, cell->col, cell->rgce});
  } else {
    out.direct.push_back({row, cell->col, cell->rgce, cell->rgcb});
  }
}

}  // namespace

SheetFormulas collect_sheet_formulas(Bytes part) {
  SheetFormulas out;
  Records records{part};
  std::uint32_t row = 0;
  for (;;) {
    auto next = next_record(records);
    if (!next) {
      out.walk_errors.push_back(next.error());
      break;
    }
    if (!*next) break;
    const Record& r = **next;
    if (r.id == cell_id::row_hdr) {
      if (r.payload.size() >= 4) {
        row = load_u32(r.payload.data());
      } else {
        out.walk_errors.push_back(DecodeError::row_header_malformed);
      }
    } else if (is_formula_cell(r.id)) {
      collect_formula_cell(r, row, out);
    } else if (is_group_formula(r.id)) {
      auto group = read_group_formula(r.id, r.payload);
      if (group) {
        out.groups.push_back(*group);
      } else {
        out.walk_errors.push_back(group.error());
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Resolving followers.
//
// Groups spanning at most 65 columns form the narrow index, the rest the wide
// list. Within one anchor row both searches ask the same question: the first
// group (in record order) with rwLast >= row and colFirst <= col <= colLast,
// for a follower with row >= anchor. A linear scan per follower is quadratic
// on hostile sheets (a million groups on one anchor row), so the questions of
// one anchor row are answered together: followers by descending row, adding
// the groups by descending rwLast, each group marking its column range in a
// segment tree (over the followers' distinct columns) with the smallest
// record index seen; a follower then reads the minimum along its leaf's path.

namespace {

constexpr std::uint32_t kNoGroup = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kWideSpan = 64;

struct Query {
  std::uint32_t row;
  std::uint32_t col;
  std::uint32_t follower;
};

// Range-chmin / point-min over n leaves, iterative, no lazy propagation.
class MinMarks {
 public:
  explicit MinMarks(std::size_t n) : n_(n), mark_(2 * n, kNoGroup) {}
  void mark(std::size_t lo, std::size_t hi, std::uint32_t value) {  // [lo, hi)
    for (lo += n_, hi += n_; lo < hi; lo >>= 1, hi >>= 1) {
      if (lo & 1) chmin(lo++, value);
      if (hi & 1) chmin(--hi, value);
    }
  }
  std::uint32_t min_at(std::size_t leaf) const {
    std::uint32_t best = kNoGroup;
    for (std::size_t i = leaf + n_; i >= 1; i >>= 1) best = std::min(best, mark_[i]);
    return best;
  }

 private:
  void chmin(std::size_t i, std::uint32_t v) { mark_[i] = std::min(mark_[i], v); }
  std::size_t n_;
  std::vector<std::uint32_t> mark_;
};

bool covers(const GroupFormula& g, std::uint32_t row, std::uint32_t col) {
  return row <= g.rw_last && g.col_first <= col && col <= g.col_last;
}

// Answers the queries of one anchor row against its groups (record order).
void answer_bucket(const std::vector<GroupFormula>& all, const std::vector<std::uint32_t>& groups,
                   std::vector<Query>& queries, std::vector<std::uint32_t>& answer) {
  constexpr std::size_t kScanLimit = 64;
  if (groups.size() * queries.size() <= kScanLimit * kScanLimit || groups.size() <= 4) {
    for (const Query& q : queries)
      for (std::uint32_t g : groups)
        if (covers(all[g], q.row, q.col)) {
          answer[q.follower] = g;
          break;
        }
    return;
  }
  std::vector<std::uint32_t> cols;
  cols.reserve(queries.size());
  for (const Query& q : queries) cols.push_back(q.col);
  std::sort(cols.begin(), cols.end());
  cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
  std::vector<std::uint32_t> by_last(groups);
  std::sort(by_last.begin(), by_last.end(),
            [&](std::uint32_t a, std::uint32_t b) { return all[a].rw_last > all[b].rw_last; });
  std::sort(queries.begin(), queries.end(), [](const Query& a, const Query& b) { return a.row > b.row; });
  MinMarks marks(cols.size());
  std::size_t next = 0;
  for (const Query& q : queries) {
    for (; next < by_last.size() && all[by_last[next]].rw_last >= q.row; ++next) {
      const GroupFormula& g = all[by_last[next]];
      auto lo = std::lower_bound(cols.begin(), cols.end(), g.col_first) - cols.begin();
      auto hi = std::upper_bound(cols.begin(), cols.end(), g.col_last) - cols.begin();
      if (lo < hi) marks.mark(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi), by_last[next]);
    }
    auto leaf = std::lower_bound(cols.begin(), cols.end(), q.col) - cols.begin();
    answer[q.follower] = marks.min_at(static_cast<std::size_t>(leaf));
  }
}

using QueryBuckets = std::unordered_map<std::uint32_t, std::vector<Query>>;

// The first match among `groups` (indices into `all`, record order) for every
// query, by anchor row; kNoGroup where none matches.
void first_matches(const std::vector<GroupFormula>& all, const std::vector<std::uint32_t>& groups,
                   QueryBuckets& queries_by_anchor, std::vector<std::uint32_t>& answer) {
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> groups_by_anchor;
  for (std::uint32_t g : groups) groups_by_anchor[all[g].rw_first].push_back(g);
  for (auto& [anchor, queries] : queries_by_anchor) {
    auto found = groups_by_anchor.find(anchor);
    if (found != groups_by_anchor.end()) answer_bucket(all, found->second, queries, answer);
  }
}

bool is_wide(const GroupFormula& g) { return g.col_last > g.col_first && g.col_last - g.col_first > kWideSpan; }

}  // namespace

std::vector<FollowerMatch> resolve_followers(const SheetFormulas& formulas) {
  const auto& all = formulas.groups;
  std::vector<std::uint32_t> narrow, wide;
  for (std::uint32_t g = 0; g < all.size(); ++g) {
    if (is_wide(all[g])) {
      wide.push_back(g);
    } else if (all[g].col_first <= all[g].col_last) {
      narrow.push_back(g);
    }
  }
  std::vector<FollowerMatch> result(formulas.followers.size(), {FollowerMatch::Kind::Unresolved, 0});
  QueryBuckets queries;
  for (std::uint32_t i = 0; i < formulas.followers.size(); ++i) {
    const Follower& f = formulas.followers[i];
    if (f.rgce.size() < 5) {
      result[i].kind = FollowerMatch::Kind::Malformed;
      continue;
    }
    std::uint32_t anchor = load_u32(f.rgce.data() + 1);
    if (f.row >= anchor) queries[anchor].push_back({f.row, f.col, i});
  }
  std::vector<std::uint32_t> answer(formulas.followers.size(), kNoGroup);
  first_matches(all, narrow, queries, answer);
  // Followers the narrow index could not place try the wide groups.
  for (auto& [anchor, bucket] : queries)
    std::erase_if(bucket, [&](const Query& q) { return answer[q.follower] != kNoGroup; });
  first_matches(all, wide, queries, answer);
  for (std::size_t i = 0; i < answer.size(); ++i)
    if (answer[i] != kNoGroup) result[i] = {FollowerMatch::Kind::Found, answer[i]};
  return result;
}

// ---------------------------------------------------------------------------
// Formula text report.

namespace {

void record_failure(ErrorTally& errors, DecodeError e, bool follower) {
  if (follower) {
    std::string text = "follower:";
    text += message(e);
    record_error(errors, text);
  } else {
    record_error(errors, message(e));
  }
}

struct SheetScan {
  const Workbook& workbook;
  Notation notation;
  TextBudget& budget;
  SheetReport& report;
  RenderScratch scratch = {};

  // Renders one formula at a cell and stores its text, or counts why not.
  // Only an internal defect of the renderer is returned, ending the call.
  Result<void> render_cell(Bytes rgce, Bytes rgcb, std::uint32_t row, std::uint32_t col, bool follower) {
    auto text = render(rgce, rgcb, workbook, row, col, notation, scratch);
    if (text && !budget.take(text->size())) text = fail(DecodeError::formula_text_too_long);
    if (text) {
      store_cell_text(report.cells, CellPos{row, col}, std::move(*text));
    } else if (is_internal_defect(text.error())) {
      return fail(text.error());
    } else {
      record_failure(report.errors, text.error(), follower);
    }
    return {};
  }
};

// Renders every formula of one worksheet part. An internal defect of the
// renderer ends the whole call; any other failure is counted.
Result<SheetReport> scan_sheet(Bytes part, const Workbook& workbook, Notation notation, TextBudget& budget,
                               std::string name) {
  SheetReport report{std::move(name), {}, {}, 0};
  SheetScan scan{workbook, notation, budget, report};
  SheetFormulas formulas = collect_sheet_formulas(part);
  for (DecodeError e : formulas.walk_errors) record_failure(report.errors, e, false);
  for (const DirectFormula& f : formulas.direct) TRY_VOID(scan.render_cell(f.rgce, f.rgcb, f.row, f.col, false));
  std::vector<FollowerMatch> matches = resolve_followers(formulas);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const Follower& f = formulas.followers[i];
    if (matches[i].kind == FollowerMatch::Kind::Malformed) {
      record_failure(report.errors, DecodeError::exp_anchor_malformed, false);
      continue;
    }
    if (matches[i].kind == FollowerMatch::Kind::Unresolved) {
      ++report.unresolved_follower_count;
      continue;
    }
    const GroupFormula& g = formulas.groups[matches[i].group];
    TRY_VOID(scan.render_cell(g.rgce, g.rgcb, f.row, f.col, true));
  }
  return report;
}

}  // namespace

namespace {

std::size_t slot_of(CellPos pos, std::size_t mask) {
  std::uint64_t key = (static_cast<std::uint64_t>(pos.row) << 32) | pos.col;
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

// Doubles the slot table and places every stored position again.
void grow_slots(CellTexts& cells) {
  std::size_t capacity = std::max<std::size_t>(64, cells.slots.size() * 2);
  cells.slots.assign(capacity, 0);
  for (std::uint32_t i = 0; i < cells.positions.size(); ++i) {
    std::size_t s = slot_of(cells.positions[i], capacity - 1);
    while (cells.slots[s] != 0) s = (s + 1) & (capacity - 1);
    cells.slots[s] = i + 1;
  }
}

}  // namespace

void store_cell_text(CellTexts& cells, CellPos pos, std::string text) {
  // Kept at most half full, so probe runs stay short.
  if (2 * (cells.positions.size() + 1) > cells.slots.size()) grow_slots(cells);
  std::size_t mask = cells.slots.size() - 1;
  for (std::size_t s = slot_of(pos, mask);; s = (s + 1) & mask) {
    std::uint32_t entry = cells.slots[s];
    if (entry == 0) {
      cells.slots[s] = static_cast<std::uint32_t>(cells.positions.size() + 1);
      cells.positions.push_back(pos);
      cells.texts.push_back(std::move(text));
      return;
    }
    if (cells.positions[entry - 1] == pos) {
      cells.texts[entry - 1] = std::move(text);
      return;
    }
  }
}

void record_error(ErrorTally& errors, std::string_view message) {
  auto [it, inserted] = errors.try_emplace(std::string(message), 0);
  ++it->second;
}

Result<std::vector<SheetReport>> decode_workbook(Bytes data, Notation notation) {
  TRY(OpenedWorkbook opened, open_workbook(data));
  TextBudget budget(data.size());
  std::vector<SheetReport> reports;
  for (WorksheetEntry& entry : opened.worksheets) {
    auto part = read_zip_entry(opened.container, entry.part_name);
    if (!part) continue;  // an unreadable worksheet is left out
    TRY(SheetReport report, scan_sheet(part->view(), opened.workbook, notation, budget, std::move(entry.name)));
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace mdn
