// The command-line parser every command shares; see host.h.
#include <algorithm>

#include "host.h"

namespace tessaly_cli {

namespace {

bool Listed(const std::vector<std::string>& list, const std::string& word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

bool Parsed::Has(const std::string& flag) const { return Listed(flags, flag); }

Parsed ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                 const std::vector<std::string>& allowedFlags) {
    Parsed p;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options || a.size() < 2 || a[0] != '-') {
            p.words.push_back(a);
            continue;
        }
        if (a == "--") {
            options = false;
            continue;
        }
        // --name=value is --name value; a short option takes its value from the next word only.
        const std::size_t equals = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, equals);
        if (Listed(valued, name)) {
            if (equals != std::string::npos) {
                p.values[name] = a.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                p.values[name] = args[++i];
            } else {
                p.error = name + " needs a value";
                return p;
            }
        } else if (Listed(allowedFlags, name)) {
            if (equals != std::string::npos) {
                p.error = name + " takes no value";
                return p;
            }
            p.flags.push_back(name);
        } else {
            p.error = "unknown option " + name;
            return p;
        }
    }
    return p;
}

}  // namespace tessaly_cli
