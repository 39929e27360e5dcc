#include "core/ranking.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace collector {

bool ranksAbove(const std::string& nameA, double milesA, const std::string& nameB, double milesB) {
  const auto micro = [](double miles) { return std::llround(miles * 1e6); };
  return micro(milesA) != micro(milesB) ? micro(milesA) > micro(milesB) : nameA < nameB;
}

bool placed(double miles) { return std::llround(miles * 1e6) > 0; }

std::vector<std::int64_t> ranksBefore(const std::vector<Standing>& now,
                                      const std::vector<Standing>& recent) {
  std::unordered_map<std::string, const Standing*> latest;
  for (const Standing& standing : recent) latest.emplace(standing.name, &standing);
  std::vector<Standing> then;
  std::vector<std::size_t> whose;  // the index into `now` of each of `then`
  for (std::size_t i = 0; i < now.size(); ++i) {
    Standing earlier = now[i];
    auto found = latest.find(earlier.name);
    if (found != latest.end()) {
      earlier.miles -= found->second->miles;
      earlier.reports -= found->second->reports;
    }
    if (earlier.reports <= 0 || !placed(earlier.miles)) continue;
    then.push_back(std::move(earlier));
    whose.push_back(i);
  }
  std::vector<std::size_t> order(then.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ranksAbove(then[a].name, then[a].miles, then[b].name, then[b].miles);
  });
  std::vector<std::int64_t> ranks(now.size(), 0);
  for (std::size_t place = 0; place < order.size(); ++place) {
    ranks[whose[order[place]]] = static_cast<std::int64_t>(place) + 1;
  }
  return ranks;
}

}  // namespace collector
