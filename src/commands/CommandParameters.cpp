#include "commands/CommandParameters.h"

#include <cmath>
#include <limits>

namespace velmar::parameters {

namespace {
const nlohmann::json* find(const nlohmann::json& parameters, const std::string& key) {
  if (!parameters.is_object()) return nullptr;
  auto it = parameters.find(key);
  return it == parameters.end() ? nullptr : &*it;
}
}  // namespace

std::optional<std::string> string(const nlohmann::json& parameters, const std::string& key) {
  auto* v = find(parameters, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<double> number(const nlohmann::json& parameters, const std::string& key) {
  auto* v = find(parameters, key);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::int64_t> integer(const nlohmann::json& parameters, const std::string& key) {
  auto* v = find(parameters, key);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  if (v->is_number_integer()) {
    if (v->is_number_unsigned() &&
        v->get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return v->get<std::int64_t>();
  }
  const double d = v->get<double>();
  if (!std::isfinite(d) || d != std::trunc(d) || std::fabs(d) > 9.0e15) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

std::optional<std::uint32_t> uint32(const nlohmann::json& parameters, const std::string& key) {
  auto value = integer(parameters, key);
  if (!value || *value < 0 || *value > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<bool> flag(const nlohmann::json& parameters, const std::string& key) {
  auto* v = find(parameters, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_boolean()) return v->get<bool>();
  auto value = integer(parameters, key);
  if (value && (*value == 0 || *value == 1)) return *value == 1;
  return std::nullopt;
}

std::optional<nlohmann::json> object(const nlohmann::json& parameters, const std::string& key) {
  auto* v = find(parameters, key);
  if (v == nullptr || !v->is_object()) return std::nullopt;
  return *v;
}

}  // namespace velmar::parameters
