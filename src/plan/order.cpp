#include <algorithm>
#include <numeric>

#include "plan/graph.h"
#include "plan/plan.h"

namespace tarn {
namespace plan_detail {

void IndexGraph::push_row(std::span<const Index> row) {
  targets.insert(targets.end(), row.begin(), row.end());
  offsets.push_back(targets.size());
}

IndexGraph IndexGraph::transposed() const {
  IndexGraph result;
  result.offsets.assign(size() + 1, 0);
  for (Index target : targets) {
    ++result.offsets[target + 1];
  }
  std::partial_sum(result.offsets.begin(), result.offsets.end(), result.offsets.begin());
  result.targets.resize(targets.size());
  std::vector<std::size_t> next(result.offsets.begin(), result.offsets.end() - 1);
  for (Index i = 0; i < size(); ++i) {
    for (Index target : row(i)) {
      result.targets[next[target]++] = i;
    }
  }
  return result;
}

std::optional<std::vector<Index>> kahn_order(const IndexGraph& parents) {
  const IndexGraph children = parents.transposed();
  std::vector<std::size_t> waiting(parents.size());
  std::vector<Index> order;
  order.reserve(parents.size());
  for (Index i = 0; i < parents.size(); ++i) {
    waiting[i] = parents.row(i).size();
    if (waiting[i] == 0) {
      order.push_back(i);
    }
  }
  // `order` doubles as the queue: everything before `head` has been taken.
  for (std::size_t head = 0; head < order.size(); ++head) {
    // Children rows are ascending, so each batch of newly ready indices is
    // appended already sorted.
    for (Index child : children.row(order[head])) {
      if (--waiting[child] == 0) {
        order.push_back(child);
      }
    }
  }
  if (order.size() != parents.size()) {
    return std::nullopt;
  }
  return order;
}

}  // namespace plan_detail
}  // namespace tarn
