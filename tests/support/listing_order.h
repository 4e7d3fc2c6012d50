// Windows documents no order for a key's listed values, and Wine keeps them sorted by name; the
// portable store lists them in the order they were first written. Tests of a listing say which
// names they expect with this matcher: in that order on the store, in any order on Windows.
#ifndef VELMO_TESTS_SUPPORT_LISTING_ORDER_H_
#define VELMO_TESTS_SUPPORT_LISTING_ORDER_H_

#include <gmock/gmock.h>

#include <utility>

namespace velmo::testing {

template <typename... Matchers>
auto InWriteOrder(Matchers&&... matchers) {
#ifdef _WIN32
  return ::testing::UnorderedElementsAre(std::forward<Matchers>(matchers)...);
#else
  return ::testing::ElementsAre(std::forward<Matchers>(matchers)...);
#endif
}

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_LISTING_ORDER_H_
