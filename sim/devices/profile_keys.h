// Reading a device model's profile keys without trusting their types: a key
// of the wrong type (a text where a number belongs, a negative size) takes
// its default and is named, so that a mistake in a profile is reported
// instead of ending the tool.
#pragma once

#include "core/box.h"

#include <limits>
#include <string>
#include <type_traits>

namespace boxsim::keys {

// The value of `key` in the object `cfg` as T; `def` when it is absent, and
// also when it has another type or lies outside T, in which case the key is
// added to `bad`.
template <class T> T get(const json &cfg, const char *key, T def, std::string &bad)
{
    if (!cfg.is_object() || !cfg.contains(key))
        return def;
    const json &v = cfg[key];
    bool ok;
    if constexpr (std::is_same_v<T, bool>)
        ok = v.is_boolean();
    else if constexpr (std::is_integral_v<T>)
        ok = v.is_number_integer() &&
             (std::is_signed_v<T> ? v.get<long long>() >= static_cast<long long>(std::numeric_limits<T>::min()) &&
                                        v.get<long long>() <= static_cast<long long>(std::numeric_limits<T>::max())
                                  : !v.is_number_unsigned() ? v.get<long long>() >= 0 &&
                                                                  static_cast<unsigned long long>(v.get<long long>()) <=
                                                                      std::numeric_limits<T>::max()
                                                            : v.get<unsigned long long>() <= std::numeric_limits<T>::max());
    else if constexpr (std::is_floating_point_v<T>)
        ok = v.is_number();
    else if constexpr (std::is_same_v<T, std::string>)
        ok = v.is_string();
    else
        ok = v.is_object();
    if (!ok) {
        bad += (bad.empty() ? "" : ", ") + std::string(key);
        return def;
    }
    return v.get<T>();
}

// The keys of an object that `get` would not take as the type asked: each
// (key, default) pair is looked at as get<decltype(default)> looks at it.
// "" when all are good, else their names.
template <class... T> std::string wrong(const json &cfg, const std::pair<const char *, T> &...key_and_default)
{
    std::string bad;
    (get(cfg, key_and_default.first, key_and_default.second, bad), ...);
    return bad;
}

// What a module's check says of the keys `wrong` found: "" or one line.
inline std::string verdict(const std::string &where, const std::string &bad)
{
    return bad.empty() ? "" : where + ": keys of the wrong type or out of range: " + bad;
}

// Joins two lists of key names.
inline std::string also(std::string a, const std::string &b)
{
    return a.empty() ? b : b.empty() ? a : a + ", " + b;
}

// Names the keys of `module` that were not taken, in the trace.
inline void report(Box &box, const char *module, const std::string &bad)
{
    if (!bad.empty())
        box.trace().record({{"op", "device"},
                            {"path", std::string("profile/") + module},
                            {"error", "keys of the wrong type or out of range, defaults taken: " + bad}});
}

} // namespace boxsim::keys
