// A mutator for the workbook targets. Mutating the archive bytes alone mostly
// breaks a compressed stream or a CRC-32, so the part decoders behind the
// container would rarely see a changed record. Most mutations here therefore
// open the archive, mutate the uncompressed bytes of one part and write the
// archive again with every part stored and correctly checksummed. The rest
// mutate the raw bytes, which keeps the container reader itself under test.
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sheet.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

struct Part {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
// Room a mutation may add to a part, on top of what it holds.
constexpr std::size_t kGrowth = 256;

std::optional<std::vector<Part>> read_parts(mdn::Bytes archive) {
  auto container = mdn::open_container(archive);
  if (!container || container->entries.empty() || container->entries.size() > 0xFFFF) return std::nullopt;
  std::vector<Part> parts;
  for (const mdn::ZipEntry& entry : container->entries) {
    auto part = mdn::read_zip_entry(*container, entry.name);
    if (!part || entry.name.size() > 0xFFFF) return std::nullopt;
    parts.push_back({std::string(entry.name), std::vector<std::uint8_t>(part->view().begin(), part->view().end())});
  }
  return parts;
}

// Record parts carry the structure worth mutating; the XML relationships
// part is picked now and then, other parts only by chance.
std::size_t pick_part(const std::vector<Part>& parts, std::minstd_rand& rng) {
  std::vector<unsigned> weights;
  for (const Part& part : parts) {
    const bool record_part = part.name.ends_with(".bin");
    const bool rels = part.name == "xl/_rels/workbook.bin.rels";
    weights.push_back(record_part ? 8u : rels ? 2u : 1u);
  }
  std::discrete_distribution<std::size_t> choose(weights.begin(), weights.end());
  return choose(rng);
}

class Writer {
 public:
  Writer(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
  void u16(std::size_t v) { put({static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}); }
  void u32(std::size_t v) {
    put({static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
         static_cast<std::uint8_t>(v >> 24)});
  }
  void bytes(const void* p, std::size_t n) {
    if (n == 0) return;
    if (capacity_ - size_ < n) std::abort();  // sized up front; never happens
    std::memcpy(out_ + size_, p, n);
    size_ += n;
  }
  std::size_t size() const { return size_; }

 private:
  void put(std::initializer_list<std::uint8_t> b) { bytes(b.begin(), b.size()); }
  std::uint8_t* out_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

std::size_t stored_archive_size(const std::vector<Part>& parts) {
  std::size_t total = kEndRecordSize;
  for (const Part& part : parts) total += kLocalHeaderSize + kCentralHeaderSize + 2 * part.name.size() + part.bytes.size();
  return total;
}

// Writes the parts as a plain stored archive; the caller has checked the size.
std::size_t write_stored_archive(const std::vector<Part>& parts, std::uint8_t* out, std::size_t capacity) {
  Writer w(out, capacity);
  std::vector<std::size_t> offsets;
  std::vector<std::uint32_t> crcs;
  for (const Part& part : parts) {
    offsets.push_back(w.size());
    crcs.push_back(libdeflate_crc32(0, part.bytes.data(), part.bytes.size()));
    w.u32(0x04034b50);
    w.u16(20), w.u16(0), w.u16(0), w.u16(0), w.u16(0);  // version, flags, method, time, date
    w.u32(crcs.back()), w.u32(part.bytes.size()), w.u32(part.bytes.size());
    w.u16(part.name.size()), w.u16(0);
    w.bytes(part.name.data(), part.name.size());
    w.bytes(part.bytes.data(), part.bytes.size());
  }
  const std::size_t directory = w.size();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Part& part = parts[i];
    w.u32(0x02014b50);
    w.u16(20), w.u16(20), w.u16(0), w.u16(0), w.u16(0), w.u16(0);  // versions, flags, method, time, date
    w.u32(crcs[i]), w.u32(part.bytes.size()), w.u32(part.bytes.size());
    w.u16(part.name.size()), w.u16(0), w.u16(0), w.u16(0), w.u16(0);  // name, extra, comment, disk, attributes
    w.u32(0), w.u32(offsets[i]);
    w.bytes(part.name.data(), part.name.size());
  }
  const std::size_t directory_size = w.size() - directory;
  w.u32(0x06054b50);
  w.u16(0), w.u16(0), w.u16(parts.size()), w.u16(parts.size());
  w.u32(directory_size), w.u32(directory), w.u16(0);
  return w.size();
}

std::optional<std::size_t> mutate_one_part(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                           std::minstd_rand& rng) {
  auto parts = read_parts(mdn::Bytes(data, size));
  if (!parts) return std::nullopt;
  Part& part = (*parts)[pick_part(*parts, rng)];
  const std::size_t held = part.bytes.size();
  part.bytes.resize(held + kGrowth);
  part.bytes.resize(LLVMFuzzerMutate(part.bytes.data(), held, held + kGrowth));
  if (stored_archive_size(*parts) > max_size) return std::nullopt;
  return write_stored_archive(*parts, data, max_size);
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
  std::minstd_rand rng(seed);
  if (rng() % 4 != 0) {
    if (auto mutated = mutate_one_part(data, size, max_size, rng)) return *mutated;
  }
  return LLVMFuzzerMutate(data, size, max_size);
}
