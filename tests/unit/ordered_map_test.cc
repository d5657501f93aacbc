// Tests of the insertion-ordered map against a plain list of (key, value) pairs, under long
// random runs of every operation: the index must find each key after any mix of insertions,
// erasures (which move probe runs back) and growth.
#include "ordered_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qor::detail {
namespace {

using Map = OrderedMap<int>;
using Model = std::vector<std::pair<std::string, int>>;

void expect_same(const Map& map, const Model& model, int key_space) {
  ASSERT_EQ(map.size(), model.size());
  std::size_t i = 0;
  std::uint64_t last_order = 0;
  for (Map::Handle h = map.first(); h != Map::kNone; h = map.next(h), ++i) {
    ASSERT_LT(i, model.size());
    EXPECT_EQ(map.at(h).key, model[i].first);
    EXPECT_EQ(map.at(h).value, model[i].second);
    if (i != 0) {
      EXPECT_GT(map.at(h).order, last_order);
    }
    last_order = map.at(h).order;
  }
  EXPECT_EQ(i, model.size());
  for (int k = 0; k < key_space; ++k) {
    const std::string key = "k" + std::to_string(k);
    const auto it = std::find_if(model.begin(), model.end(),
                                 [&](const auto& entry) { return entry.first == key; });
    const Map::Handle h = map.find(key);
    if (it == model.end()) {
      EXPECT_EQ(h, Map::kNone) << key;
    } else {
      ASSERT_NE(h, Map::kNone) << key;
      EXPECT_EQ(map.at(h).value, it->second);
    }
  }
}

TEST(OrderedMap, AgreesWithAListUnderRandomOperations) {
  // A small key space keeps probe runs long and erasures frequent; a large one makes the index
  // grow many times.
  for (const int key_space : {8, 64, 3000}) {
    SCOPED_TRACE(key_space);
    std::mt19937 rng(static_cast<unsigned>(key_space));
    Map map;
    Model model;
    for (int step = 0; step < 6000; ++step) {
      const std::string key = "k" + std::to_string(rng() % key_space);
      const auto it = std::find_if(model.begin(), model.end(),
                                   [&](const auto& entry) { return entry.first == key; });
      const unsigned op = rng() % 10;
      if (op < 5) {
        map.assign(key, step);
        if (it == model.end()) {
          model.emplace_back(key, step);
        } else {
          it->second = step;
        }
      } else if (op < 7 && !model.empty()) {
        // Each entry gets at most one entry inserted right after it (the map's contract), so
        // insert after the last entry or after one that was assigned, never twice in a row.
        const std::size_t at = model.size() - 1;
        const Map::Handle after = map.find(model[at].first);
        map.insert_after(after, key, step);
        if (it == model.end()) {
          model.insert(model.begin() + static_cast<std::ptrdiff_t>(at) + 1, {key, step});
        } else {
          it->second = step;
        }
      } else if (it != model.end()) {
        map.erase(map.find(key));
        model.erase(it);
      }
      if (step % 97 == 0 || key_space <= 64) expect_same(map, model, key_space);
    }
    expect_same(map, model, key_space);
  }
}

}  // namespace
}  // namespace qor::detail
