#include "tools/rocepeer/Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace rocepeer {

Options::Options(const std::vector<std::string>& args, const std::set<std::string>& valued,
                 const std::set<std::string>& flags) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            throw UsageError("unexpected argument '" + arg + "'");
        }
        const std::string name = arg.substr(2);
        if (flags.count(name)) {
            values_[name] = "1";
        } else if (valued.count(name)) {
            if (i + 1 >= args.size()) {
                throw UsageError("--" + name + " needs a value");
            }
            values_[name] = args[++i];
        } else {
            throw UsageError("unknown option --" + name);
        }
    }
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::string Options::Required(const std::string& name) const {
    if (!Has(name)) {
        throw UsageError("--" + name + " is required");
    }
    return Text(name);
}

namespace {

std::uint64_t ParseNumber(const std::string& name, const std::string& text, std::uint64_t max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max) {
        throw UsageError("--" + name + ": bad number '" + text + "' (0.." + std::to_string(max) +
                         ")");
    }
    return value;
}

}  // namespace

std::uint64_t Options::Number(const std::string& name, std::uint64_t fallback,
                              std::uint64_t max) const {
    return Has(name) ? ParseNumber(name, Text(name), max) : fallback;
}

std::vector<std::uint32_t> Options::NumberList(const std::string& name,
                                               std::uint32_t fallback) const {
    if (!Has(name)) {
        return {fallback};
    }
    std::vector<std::uint32_t> list;
    std::stringstream stream(Text(name));
    std::string item;
    while (std::getline(stream, item, ',')) {
        list.push_back(static_cast<std::uint32_t>(ParseNumber(name, item, UINT32_MAX)));
    }
    if (list.empty()) {
        throw UsageError("--" + name + " needs at least one number");
    }
    return list;
}

roceframes::Endpoints ResolveEndpoints(const Options& options, const roceframes::Mac& localMac,
                                       std::uint32_t localIp) {
    roceframes::Endpoints ends;
    ends.srcMac = localMac;
    const auto peerMac = roceframes::ParseMac(options.Required("peer-mac"));
    const auto peerIp = roceframes::ParseIpv4(options.Required("peer-ip"));
    if (!peerMac || !peerIp) {
        throw UsageError("bad --peer-mac or --peer-ip");
    }
    ends.dstMac = *peerMac;
    ends.dstIp = *peerIp;
    ends.srcIp = localIp;
    if (options.Has("src-ip")) {
        const auto srcIp = roceframes::ParseIpv4(options.Text("src-ip"));
        if (!srcIp) {
            throw UsageError("bad --src-ip");
        }
        ends.srcIp = *srcIp;
    }
    return ends;
}

}  // namespace rocepeer
