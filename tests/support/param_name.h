#pragma once
// The name of a parameterised case, from its parameter's `name`: the last argument of
// INSTANTIATE_TEST_SUITE_P, so every table names its rows the same way.
#include <string>

namespace ostrel::test {

struct ParamName {
  template <class Info>
  std::string operator()(const Info& row) const {
    return std::string(row.param.name);
  }
};

}  // namespace ostrel::test
