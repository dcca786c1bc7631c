// Micro-benchmark of the numeric and string indexes, and of the sets of ids
// per distinct number and string: times inserts, queries and removals over
// one million ids and prints a table. No arguments.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "native/structures/ordered_bitmap/ordered_bitmap.h"
#include "native/structures/positional_bitmap/positional_bitmap.h"
#include "native/structures/value_sets/string_sets.h"
#include "native/structures/value_sets/value_sets.h"

namespace vantorel {
namespace {

constexpr uint32_t kIds = 1'000'000;

// Runs fn `repeat` times and prints the mean processor time of one run with
// the figure the last run returned. Processor time, which other processes on
// a shared machine disturb less than they do wall time: the benchmark runs on
// one thread.
void row(const char* name, const std::function<uint64_t()>& fn, int repeat = 1,
         const char* unit = "ids") {
  uint64_t figure = 0;
  const std::clock_t start = std::clock();
  for (int i = 0; i < repeat; ++i) figure = fn();
  const double took_ms = 1e3 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  std::printf("%-44s %10.3f ms %12llu %s\n", name, took_ms / repeat,
              static_cast<unsigned long long>(figure), unit);
}

// Queries are repeated and averaged.
constexpr int kQueryRepeat = 20;

// Bytes allocated from the heap right now, where the C library tells: the
// arena's and the blocks mapped on their own (large arrays).
size_t heap_in_use() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
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
    return uint64_t{kIds};
  });
  Bitmap base;
  base.add_range(0, kIds);
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
      "string starts_with \"ab\"", [&] { return bulk.starts_with("ab").cardinality(); },
      kQueryRepeat);
  row("string ends_with \"yz\"", [&] { return bulk.ends_with("yz").cardinality(); }, kQueryRepeat);
  row("string contains \"abc\"", [&] { return bulk.contains("abc").cardinality(); }, kQueryRepeat);
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

// Times the sets per distinct value of one kind over one million unique
// values: bulk and one-by-one adds, lookups, the kind's own queries
// (`queries`), a walk of every key and a sorted batch removal of a tenth,
// and prints the heap the bulk add took per key.
template <class Sets, class Value, class BatchKey, class Queries>
void bench_sets(const std::string& kind, const std::vector<Value>& values, Queries&& queries) {
  auto name = [&](const char* operation) { return kind + " sets " + operation; };
  const size_t heap_before = heap_in_use();
  Sets bulk;
  row(name("add_deferred+settle x1M unique").c_str(), [&] {
    for (uint32_t id = 0; id < kIds; ++id) bulk.add_deferred(values[id], id);
    bulk.settle();
    return uint64_t{bulk.key_count()};
  });
  if (heap_before != 0) {
    std::printf(
        "%-44s %10s    %12.1f bytes/key (heap)\n", name("heap").c_str(), "",
        static_cast<double>(heap_in_use() - heap_before) / static_cast<double>(bulk.key_count()));
  }
  Sets single;
  row(name("add x1M unique (single path)").c_str(), [&] {
    for (uint32_t id = 0; id < kIds; ++id) single.add(values[id], id);
    return uint64_t{single.key_count()};
  });
  row(name("find x1M").c_str(), [&] {
    uint64_t found = 0;
    for (uint32_t id = 0; id < kIds; ++id) found += bulk.find(values[id]) != nullptr ? 1 : 0;
    return found;
  });
  queries(bulk);
  row(name("walk every key").c_str(), [&] {
    uint64_t walked = 0;
    bulk.walk_keys(false, [&](const auto&, const HybridSet& ids) {
      walked += ids.size();
      return true;
    });
    return walked;
  });
  std::vector<std::pair<BatchKey, uint32_t>> batch;
  for (uint32_t id = 0; id < kIds; id += 10) batch.emplace_back(values[id], id);
  std::sort(batch.begin(), batch.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  row(name("remove_sorted 10%").c_str(), [&] {
    bulk.remove_sorted(batch);
    return uint64_t{bulk.key_count()};
  });
}

void bench_number_sets() {
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> uniform(0, 100);
  std::vector<OrderKey> keys(kIds);
  for (OrderKey& key : keys) key = order_key(uniform(rng));
  bench_sets<NumberSets, OrderKey, OrderKey>("number", keys, [](const NumberSets& sets) {
    row(
        "number sets range 1% (walk)",
        [&] {
          const KeyBound<OrderKey> lower{order_key(50.0), true};
          const KeyBound<OrderKey> upper{order_key(51.0), false};
          Bitmap out;
          sets.add_range(&lower, &upper, out, kIds);
          return out.cardinality();
        },
        kQueryRepeat);
  });
}

// Unique 8-byte strings, as for the positional index.
void bench_string_sets() {
  std::mt19937 rng(5);
  std::vector<std::string> values(kIds, std::string(8, 'a'));
  for (std::string& value : values) {
    for (char& c : value) c = static_cast<char>('a' + rng() % 26);
  }
  bench_sets<StringSets, std::string, OrderedText>("string", values, [](const StringSets& sets) {
    row(
        "string sets prefix \"ab\" (walk)",
        [&] {
          Bitmap out;
          sets.add_with_prefix("ab", out, kIds);
          return out.cardinality();
        },
        kQueryRepeat);
    row("string sets contains \"abc\" (scan)", [&] {
      Bitmap out;
      sets.add_containing("abc", out);
      return out.cardinality();
    });
  });
}

}  // namespace
}  // namespace vantorel

int main() {
  std::printf("%-44s %13s %12s\n", "operation", "time", "result");
  vantorel::bench_numbers();
  vantorel::bench_strings();
  vantorel::bench_long_string();
  vantorel::bench_number_sets();
  vantorel::bench_string_sets();
  return 0;
}
