#pragma once

#include <nlohmann/json.hpp>

namespace bvtest {

// A value nested depth arrays deep around a number, built without recursion.
inline nlohmann::json nestedJson(int depth) {
    nlohmann::json value = 1;
    for (int i = 0; i < depth; ++i) {
        nlohmann::json outer = nlohmann::json::array();
        outer.push_back(std::move(value));
        value = std::move(outer);
    }
    return value;
}

}  // namespace bvtest
