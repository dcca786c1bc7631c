// Micro-benchmark of the numeric and string indexes: times inserts and
// queries over one million ids and prints a table. No arguments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "native/structures/ordered_bitmap/ordered_bitmap.h"
#include "native/structures/positional_bitmap/positional_bitmap.h"

namespace vantorel {
namespace {

constexpr uint32_t kIds = 1'000'000;

// Runs fn `repeat` times and prints the mean wall time of one run with the
// figure the last run returned.
void row(const char* name, const std::function<uint64_t()>& fn, int repeat = 1,
         const char* unit = "ids") {
  uint64_t figure = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeat; ++i) figure = fn();
  std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("%-44s %10.3f ms %12llu %s\n", name, took.count() / repeat,
              static_cast<unsigned long long>(figure), unit);
}

// Queries are repeated and averaged.
constexpr int kQueryRepeat = 20;

// Bytes allocated from the heap right now, where the C library tells.
size_t heap_in_use() {
#if defined(__GLIBC__)
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

void bench_numbers() {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> uniform(-1e6, 1e6);
  std::vector<OrderKey> keys(kIds);
  std::vector<double> values(kIds);
  for (uint32_t id = 0; id < kIds; ++id) {
    // Half integers, half floats, on one scale.
    values[id] =
        id % 2 == 0 ? uniform(rng) : static_cast<double>(static_cast<int64_t>(uniform(rng)));
    keys[id] = id % 2 == 0 ? order_key(values[id]) : order_key(static_cast<int64_t>(values[id]));
  }
  NumericalBitmap single;
  row("numeric insert x1M (single path)", [&] {
    for (uint32_t id = 0; id < kIds; ++id) single.insert(keys[id], id);
    return uint64_t{kIds};
  });
  NumericalBitmap bulk;
  row("numeric push+flush x1M (bulk path)", [&] {
    for (uint32_t id = 0; id < kIds; ++id) bulk.push(keys[id], id);
    bulk.flush();
    return bulk.all().cardinality();
  });
  Bitmap base;
  base.add_range(0, kIds);
  row(
      "numeric equal", [&] { return bulk.equal(keys[12345]).cardinality(); }, kQueryRepeat);
  row(
      "numeric gt 0",
      [&] {
        Bitmap out;
        bulk.get_gt_into_base(order_key(0.0), out, base);
        return out.cardinality();
      },
      kQueryRepeat);
  row(
      "numeric between 1% (gte & lte)",
      [&] {
        Bitmap low;
        Bitmap high;
        bulk.get_gte_into_base(order_key(int64_t{100'000}), low, base);
        bulk.get_lte_into_base(order_key(int64_t{120'000}), high, base);
        low &= high;
        return low.cardinality();
      },
      kQueryRepeat);
  std::printf("%-44s %10.1f MB\n", "numeric index size",
              static_cast<double>(bulk.memory_bytes()) / 1e6);
}

void bench_strings() {
  std::mt19937 rng(2);
  std::vector<std::string> values(kIds, std::string(8, 'a'));
  for (std::string& value : values) {
    for (char& c : value) c = static_cast<char>('a' + rng() % 26);
  }
  PositionalBitmap single;
  row("string insert x1M 8-byte (single path)", [&] {
    for (uint32_t id = 0; id < kIds; ++id) single.insert(values[id], id);
    return uint64_t{kIds};
  });
  PositionalBitmap bulk;
  row("string push+flush x1M 8-byte (bulk path)", [&] {
    for (uint32_t id = 0; id < kIds; ++id) bulk.push(values[id], id);
    bulk.flush();
    return bulk.all().cardinality();
  });
  row(
      "string equal", [&] { return bulk.equal(values[777]).cardinality(); }, kQueryRepeat);
  row(
      "string starts_with \"ab\"", [&] { return bulk.starts_with("ab").cardinality(); },
      kQueryRepeat);
  row(
      "string ends_with \"yz\"", [&] { return bulk.ends_with("yz").cardinality(); }, kQueryRepeat);
  row(
      "string contains \"abc\"", [&] { return bulk.contains("abc").cardinality(); }, kQueryRepeat);
  std::printf("%-44s %10.1f MB\n", "string index size",
              static_cast<double>(bulk.memory_bytes()) / 1e6);
}

void bench_long_string() {
  std::mt19937 rng(3);
  std::string big(1 << 20, 'a');
  for (char& c : big) c = static_cast<char>('a' + rng() % 26);
  PositionalBitmap map;
  size_t heap_before = heap_in_use();
  row(
      "1 MB string insert",
      [&] {
        map.insert(big, 1);
        return map.memory_bytes() / big.size();
      },
      1, "bytes/byte (memory_bytes)");
  if (heap_before != 0) {
    std::printf("%-44s %10s    %12zu bytes/byte (heap)\n", "1 MB string heap growth", "",
                (heap_in_use() - heap_before) / big.size());
  }
  row("1 MB string equal", [&] { return map.equal(big).cardinality(); });
  row("1 MB string contains 64 bytes",
      [&] { return map.contains(big.substr(big.size() / 2, 64)).cardinality(); });
  row(
      "1 MB string remove",
      [&] {
        map.remove(big, 1);
        return map.memory_bytes() / big.size();
      },
      1, "bytes/byte left (memory_bytes)");
}

}  // namespace
}  // namespace vantorel

int main() {
  std::printf("%-44s %13s %12s\n", "operation", "time", "result");
  vantorel::bench_numbers();
  vantorel::bench_strings();
  vantorel::bench_long_string();
  return 0;
}
