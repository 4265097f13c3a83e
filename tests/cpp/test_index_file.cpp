// The index file's building blocks: CRC-32C, packed-record conversion of the
// blocked code layout, and the codec's round trip and refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/code_layout.h"
#include "engine/encode.h"
#include "engine/error_bound.h"
#include "engine/store.h"
#include "format/byte_io.h"
#include "format/crc32c.h"
#include "format/index_file.h"

using namespace velmora;

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

class VectorSink : public ByteSink {
 public:
  void write(const void* data, std::size_t len) override {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + len);
  }
  std::vector<std::uint8_t> bytes;
};

CompressedVectorStore filled_store(std::size_t dim, std::uint8_t bits, std::size_t n, std::uint32_t seed) {
  CompressedVectorStore store = CompressedVectorStore::create(dim, bits, /*keep_error_bounds=*/true).value();
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (float& x : v) x = normal(rng);
    EXPECT_TRUE(store.insert(1000 + i * 7, FloatView(v)).ok());
  }
  return store;
}

std::vector<std::uint8_t> serialise(const CompressedVectorStore& store) {
  VectorSink sink;
  write_index(store, sink);
  EXPECT_EQ(sink.bytes.size(), serialized_size(store));
  return sink.bytes;
}

std::string refusal(const std::vector<std::uint8_t>& bytes) {
  MemorySource source(bytes.data(), bytes.size());
  try {
    read_index(source);
  } catch (const FormatError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(Crc32c, KnownValuesAndBothPathsAgree) {
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c("", 0), 0u);
  const std::vector<std::uint8_t> zeros(32, 0);
  EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);  // RFC 3720 test vector
  const std::vector<std::uint8_t> data = random_bytes(4099, 1);
  for (std::size_t offset : {0u, 1u, 3u, 7u}) {
    for (std::size_t len : {0u, 1u, 7u, 8u, 9u, 63u, 4092u}) {
      const std::uint8_t* p = data.data() + offset;
      const std::uint32_t whole = crc32c(p, len);
      EXPECT_EQ(whole, crc32c_extend_portable(0, p, len)) << offset << " " << len;
      // Streaming in two parts gives the checksum of the whole.
      EXPECT_EQ(crc32c_extend(crc32c(p, len / 3), p + len / 3, len - len / 3), whole);
    }
  }
}

TEST(PackedRecords, BlockedCodesConvertToAndFromThePackedLayout) {
  std::mt19937 rng(5);
  for (std::uint8_t bits : {2, 3, 4}) {
    for (std::size_t dim : {32u, 33u, 47u, 100u}) {
      const std::size_t n = 53, record = packed_len(dim, bits);
      BlockedCodes codes(dim, bits);
      std::vector<std::vector<std::uint8_t>> indices(n, std::vector<std::uint8_t>(dim));
      for (auto& v : indices) {
        for (auto& x : v) x = static_cast<std::uint8_t>(rng() % (1u << bits));
        codes.push_back(v.data());
      }
      // Export of any range equals pack_indices of each vector.
      for (auto [first, count] : {std::pair<std::size_t, std::size_t>{0, n}, {5, 20}, {16, 16}, {52, 1}, {0, 0}}) {
        std::vector<std::uint8_t> out(count * record);
        codes.export_packed(first, count, out.data());
        for (std::size_t i = 0; i < count; ++i) {
          const std::vector<std::uint8_t> expected = pack_indices(indices[first + i].data(), dim, bits);
          ASSERT_EQ(0, std::memcmp(out.data() + i * record, expected.data(), record))
              << int(bits) << " " << dim << " " << first + i;
        }
      }
      // Assigning packed records over a range changes exactly that range.
      std::vector<std::uint8_t> fresh(7 * record);
      std::vector<std::vector<std::uint8_t>> fresh_indices(7, std::vector<std::uint8_t>(dim));
      for (std::size_t i = 0; i < 7; ++i) {
        for (auto& x : fresh_indices[i]) x = static_cast<std::uint8_t>(rng() % (1u << bits));
        pack_indices_into(fresh_indices[i].data(), dim, bits, fresh.data() + i * record, record);
        indices[13 + i] = fresh_indices[i];
      }
      codes.assign_packed(13, 7, fresh.data());
      std::vector<std::uint8_t> got(dim);
      for (std::size_t p = 0; p < n; ++p) {
        codes.indices(p, got.data());
        ASSERT_EQ(got, indices[p]) << int(bits) << " " << dim << " " << p;
      }
      // A whole block and the start of the next, from records whose spare
      // bits are set: the codes come back, the spare bits do not.
      std::vector<std::uint8_t> whole(40 * record);
      for (std::size_t i = 0; i < 40; ++i) {
        for (auto& x : indices[i]) x = static_cast<std::uint8_t>(rng() % (1u << bits));
        pack_indices_into(indices[i].data(), dim, bits, whole.data() + i * record, record);
        if (dim * bits % 8 != 0) whole[i * record + record - 1] |= static_cast<std::uint8_t>(0xFF << (dim * bits % 8));
      }
      codes.assign_packed(0, 40, whole.data());
      std::vector<std::uint8_t> back(40 * record);
      codes.export_packed(0, 40, back.data());
      for (std::size_t i = 0; i < 40; ++i) {
        const std::vector<std::uint8_t> expected = pack_indices(indices[i].data(), dim, bits);
        ASSERT_EQ(0, std::memcmp(back.data() + i * record, expected.data(), record))
            << int(bits) << " " << dim << " " << i;
      }
      // grow() adds zero codes, which assign_packed then fills.
      codes.grow(n + 20);
      codes.indices(n + 19, got.data());
      EXPECT_EQ(got, std::vector<std::uint8_t>(dim, 0));
    }
  }
}

TEST(IndexFile, RoundTripKeepsEveryRecordAndPosition) {
  for (std::uint8_t bits : {2, 3, 4}) {
    CompressedVectorStore store = filled_store(33, bits, 70, bits);
    store.remove(1000 + 7 * 5);  // the last entry moves into position 5
    const std::vector<std::uint8_t> bytes = serialise(store);
    MemorySource source(bytes.data(), bytes.size());
    const CompressedVectorStore loaded = read_index(source);
    ASSERT_EQ(loaded.size(), store.size());
    for (std::size_t p = 0; p < store.size(); ++p) {
      EXPECT_EQ(loaded.id_at(p), store.id_at(p));
      EXPECT_EQ(loaded.position_of(store.id_at(p)), p);
      EXPECT_EQ(loaded.entry_at(p).codes, store.entry_at(p).codes);
      EXPECT_EQ(loaded.entry_at(p).norm, store.entry_at(p).norm);
      EXPECT_EQ(loaded.stored_entries().error_bounds[p], store.stored_entries().error_bounds[p]);
      EXPECT_LT(store.stored_entries().error_bounds[p], kUnboundedError);
    }
    EXPECT_EQ(loaded.position_of(999), CompressedVectorStore::npos);
    EXPECT_EQ(serialise(loaded), bytes);
  }
  const CompressedVectorStore empty = CompressedVectorStore::create(32, 2, true).value();
  const std::vector<std::uint8_t> bytes = serialise(empty);
  EXPECT_EQ(bytes.size(), kIndexHeaderBytes + 16);
  MemorySource source(bytes.data(), bytes.size());
  EXPECT_EQ(read_index(source).size(), 0u);
}

TEST(IndexFile, VersionOneFilesLoadWithUnknownErrorBounds) {
  const CompressedVectorStore store = filled_store(40, 4, 9, 4);
  std::vector<std::uint8_t> bytes = serialise(store);
  // A version-1 file is this one without its last section, under version 1.
  bytes.resize(bytes.size() - 9 * 2 - 4);
  const std::uint32_t one = 1;
  std::memcpy(bytes.data() + 8, &one, 4);
  const std::uint32_t crc = crc32c(bytes.data(), 60);
  std::memcpy(bytes.data() + 60, &crc, 4);
  MemorySource source(bytes.data(), bytes.size());
  const CompressedVectorStore loaded = read_index(source);
  ASSERT_EQ(loaded.size(), 9u);
  EXPECT_TRUE(loaded.keeps_error_bounds());
  EXPECT_EQ(loaded.unknown_error_bounds(), 9u);
  for (std::size_t p = 0; p < 9; ++p) EXPECT_EQ(loaded.entry_at(p).codes, store.entry_at(p).codes);
  // Saved again, it is a version-2 file that says the bounds are unknown.
  EXPECT_EQ(serialise(loaded).size(), serialise(store).size());
}

TEST(IndexFile, RefusesDamagedOrForgedFilesNamingTheProblem) {
  const std::vector<std::uint8_t> good = serialise(filled_store(40, 3, 20, 9));
  const std::size_t ids_at = kIndexHeaderBytes, norms_at = ids_at + 20 * 8 + 4, codes_at = norms_at + 20 * 4 + 4;
  auto changed = [&](std::size_t at, std::uint8_t xor_mask) {
    std::vector<std::uint8_t> bytes = good;
    bytes[at] ^= xor_mask;
    return bytes;
  };
  // Fixes the header checksum after an edit, as a forger would.
  auto forged = [&](std::size_t at, const void* value, std::size_t len) {
    std::vector<std::uint8_t> bytes = good;
    std::memcpy(bytes.data() + at, value, len);
    const std::uint32_t crc = crc32c(bytes.data(), 60);
    std::memcpy(bytes.data() + 60, &crc, 4);
    return bytes;
  };
  EXPECT_EQ(refusal(good), "");
  EXPECT_NE(refusal(changed(0, 1)).find("wrong magic"), std::string::npos);
  EXPECT_NE(refusal(changed(20, 1)).find("checksum mismatch in the header"), std::string::npos);
  EXPECT_NE(refusal(changed(ids_at + 3, 4)).find("ids section"), std::string::npos);
  EXPECT_NE(refusal(changed(norms_at + 1, 1)).find("norms section"), std::string::npos);
  EXPECT_NE(refusal(changed(codes_at + 9, 0x80)).find("codes section"), std::string::npos);
  EXPECT_NE(refusal(changed(good.size() - 5, 1)).find("error bounds section"), std::string::npos);
  EXPECT_NE(refusal(changed(good.size() - 1, 1)).find("error bounds section"), std::string::npos);
  const std::uint32_t newer = kIndexFormatVersion + 1;
  EXPECT_NE(refusal(forged(8, &newer, 4)).find("format version " + std::to_string(newer) + " is newer"),
            std::string::npos);
  const std::uint64_t more = 21, huge = ~std::uint64_t{0} / 3;
  EXPECT_NE(refusal(forged(32, &more, 8)).find("does not match"), std::string::npos);
  EXPECT_NE(refusal(forged(32, &huge, 8)).find("does not match"), std::string::npos);
  const std::uint64_t small_dim = 16, big_dim = kMaxIndexDim + 1;
  EXPECT_NE(refusal(forged(16, &small_dim, 8)).find("invalid dimension 16"), std::string::npos);
  EXPECT_NE(refusal(forged(16, &big_dim, 8)).find("invalid dimension"), std::string::npos);
  const std::uint8_t five = 5;
  EXPECT_NE(refusal(forged(24, &five, 1)).find("invalid bit width 5"), std::string::npos);
  EXPECT_NE(refusal(forged(50, &five, 1)).find("reserved header bytes"), std::string::npos);
  const std::uint64_t other = 12345;
  EXPECT_NE(refusal(forged(40, &other, 8)).find("engine fingerprint mismatch"), std::string::npos);
  for (std::size_t cut : {std::size_t{0}, std::size_t{63}, std::size_t{64}, ids_at + 8, codes_at, good.size() - 1}) {
    const std::vector<std::uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(refusal(truncated), "") << cut;
  }
}

TEST(IndexFile, RefusesRepeatedIdsBadNormsAndSpareBitsWithValidChecksums) {
  std::vector<std::uint8_t> good = serialise(filled_store(33, 3, 10, 2));  // 99 bits: 5 spare per record
  const std::size_t ids_at = kIndexHeaderBytes, norms_at = ids_at + 10 * 8 + 4, codes_at = norms_at + 10 * 4 + 4;
  auto reseal = [](std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t len) {
    const std::uint32_t crc = crc32c(bytes.data() + at, len);
    std::memcpy(bytes.data() + at + len, &crc, 4);
  };
  std::vector<std::uint8_t> repeated = good;
  std::memcpy(repeated.data() + ids_at + 8 * 7, repeated.data() + ids_at + 8 * 2, 8);
  reseal(repeated, ids_at, 80);
  EXPECT_EQ(refusal(repeated), "id " + std::to_string(1000 + 2 * 7) + " appears more than once");
  for (float bad : {0.0f, -1.0f, 1e-31f, std::numeric_limits<float>::infinity(), std::nanf("")}) {
    std::vector<std::uint8_t> bytes = good;
    std::memcpy(bytes.data() + norms_at + 4 * 3, &bad, 4);
    reseal(bytes, norms_at, 40);
    EXPECT_NE(refusal(bytes).find("record 3 (id 1021) has a zero, negative or non-finite norm"), std::string::npos);
  }
  std::vector<std::uint8_t> spare = good;
  spare[codes_at + 13 * 4 + 12] |= 0x80;  // last byte of record 4
  reseal(spare, codes_at, 130);
  EXPECT_NE(refusal(spare).find("record 4 (id 1028) has nonzero spare bits"), std::string::npos);
}
