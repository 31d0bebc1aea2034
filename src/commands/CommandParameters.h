#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace velmar::parameters {

// A parameter is present only when its key exists and its value has the
// stated type; anything else counts as absent.
std::optional<std::string> string(const nlohmann::json& parameters, const std::string& key);
std::optional<double> number(const nlohmann::json& parameters, const std::string& key);
// Integers accept a JSON number only when it converts exactly.
std::optional<std::uint32_t> uint32(const nlohmann::json& parameters, const std::string& key);
std::optional<std::int64_t> integer(const nlohmann::json& parameters, const std::string& key);
// true/false, and the numbers 0 and 1.
std::optional<bool> flag(const nlohmann::json& parameters, const std::string& key);
std::optional<nlohmann::json> object(const nlohmann::json& parameters, const std::string& key);

}  // namespace velmar::parameters
