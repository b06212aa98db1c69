#include "verifier.h"

#include <cstring>

namespace talhost {

void Verifier::report(const char *rule_name, std::string detail) {
    if (!enabled)
        return;
    violations_.push_back(Violation{rule_name, std::move(detail)});
}

bool Verifier::has(const char *rule_name) const {
    for (const Violation &v : violations_)
        if (v.rule == rule_name)
            return true;
    return false;
}

std::string Verifier::text() const {
    std::string out;
    for (const Violation &v : violations_)
        out += v.rule + ": " + v.detail + "\n";
    return out;
}

} // namespace talhost
