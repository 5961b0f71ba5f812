#include "apps/common/CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "wire/Placement.h"

namespace cli {
namespace {

constexpr std::uint64_t kMaxQp = 0xffffff;  // 24 bits on the wire
constexpr std::uint64_t kMaxPercent = 100;
constexpr int kExitUsage = 2;

const char* const kOperationNames[] = {"pass", "drop", "delay", "reorder"};

int DigitValue(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isdigit(byte)) {
        return c - '0';
    }
    return std::isxdigit(byte) ? std::tolower(byte) - 'a' + 10 : -1;
}

// Nothing unless the whole text is digits of `base` worth at most `max`; checked digit by
// digit so that no text can overflow.
std::optional<std::uint64_t> ReadDigits(const std::string& text, int base, std::uint64_t max) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = DigitValue(c);
        if (digit < 0 || digit >= base) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

// CLI11 then reads the rewritten decimal text into the bound variable.
CLI::Validator Rewriting(std::function<std::optional<std::uint64_t>(const std::string&)> read,
                         std::string expected) {
    return CLI::Validator(
        [read, expected](std::string& text) {
            const std::optional<std::uint64_t> value = read(text);
            if (!value) {
                return "'" + text + "' is not " + expected;
            }
            text = std::to_string(*value);
            return std::string();
        },
        "");
}

std::optional<std::uint64_t> ReadHexQp(const std::string& text);

CLI::Validator HexQp() {
    return Rewriting(ReadHexQp, "a hexadecimal queue pair of 0 to ffffff");
}

constexpr const char* kCaptureLimitExpected = "a whole number of megabytes of 1 to 1000000000000";

CLI::Validator Decimal(std::uint64_t max, const std::string& expected) {
    return Rewriting([max](const std::string& text) { return ReadDigits(text, 10, max); },
                     expected);
}

std::optional<std::uint64_t> ReadHexQp(const std::string& text) {
    const bool prefixed = text.size() >= 2 && text[0] == '0' && std::tolower(text[1]) == 'x';
    return ReadDigits(prefixed ? text.substr(2) : text, 16, kMaxQp);
}

std::optional<QpPair> ReadQpPair(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> client = ReadHexQp(text.substr(0, colon));
    const std::optional<std::uint64_t> server = ReadHexQp(text.substr(colon + 1));
    if (!client || !server) {
        return std::nullopt;
    }
    return QpPair{static_cast<std::uint32_t>(*client), static_cast<std::uint32_t>(*server)};
}

// CLI11 words some errors over several lines.
std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!space || (!line.empty() && line.back() != ' ')) {
            line += space ? ' ' : c;
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

// The shares a draw of 1..100 really lands in, scanning the weights as consecutive slices.
std::string EffectiveShares(const Weights& weights) {
    std::string shares;
    int start = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const int end = std::min(start + weights[i], 100);
        shares += std::string(i ? ", " : "") + kOperationNames[i] + " " +
                  std::to_string(end - start) + "%";
        start = end;
    }
    return shares;
}

// A refused --fault rule, whose message already quotes the rule and names the key.
struct FaultRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Parser {
public:
    Parser(const std::string& program, const std::string& description)
        : app_(description, program), program_(program) {
        // On parse, so that help and version come before any complaint about the rest.
        app_.set_help_flag();
        app_.add_flag_callback(
                "-h,--help", [] { throw CLI::CallForHelp(); }, "print this help and exit")
            ->trigger_on_parse();
        app_.set_version_flag("--version", program_ + " " + BENCH_VERSION,
                              "print the version and exit")
            ->trigger_on_parse();
    }

    void AddQps(std::uint32_t& client, std::uint32_t& server) {
        AddPositional("CLIENT_QP", client, "the client's queue pair, hexadecimal, 0x optional",
                      HexQp(), "HEX");
        AddPositional("SERVER_QP", server, "the server's queue pair, hexadecimal, 0x optional",
                      HexQp(), "HEX");
    }

    void AddWeights(Weights& weights, const std::string& prefix, const std::string& whose,
                    const std::string& delays) {
        const std::string share = "percent of " + whose + " ";
        const std::string meanings[] = {"passed unchanged", "dropped", "delayed by " + delays,
                                        "reordered"};
        const char* const names[] = {"NONE", "DROP", "DELAY", "REORDER"};
        app_.footer(
            "The four weights of a direction are consecutive slices of a draw of 1 to 100: draws "
            "above their sum pass unchanged, and slices beyond 100 are never drawn.");
        for (std::size_t i = 0; i < weights.size(); ++i) {
            AddPositional(prefix + names[i], weights[i], share + meanings[i],
                          Decimal(kMaxPercent, "a whole percentage of 0 to 100"), "PERCENT");
        }
    }

    void AddVerifyOptions(VerifyArgs& verify) {
        app_.add_option_function<std::string>(
                "--rules",
                [&verify](const std::string& name) {
                    if (name != "send" && name != "rc") {
                        throw CLI::ValidationError("--rules",
                                                   "'" + name + "' is neither send nor rc");
                    }
                    verify.rules = name == "rc" ? Rules::Rc : Rules::Send;
                },
                "the rules checked: send (SEND and ACKNOWLEDGE only; the default) or rc (every "
                "reliable-connection opcode, READ ranges, NAKs)")
            ->type_name("send|rc");
        app_.add_option("--mtu", verify.pathMtu,
                        "the path MTU the rc rules split READ responses at: 256, 512, 1024, 2048 "
                        "or 4096")
            ->check(CLI::IsMember({256, 512, 1024, 2048, 4096}))
            ->type_name("BYTES")
            ->option_text("BYTES (default 1024)")
            ->capture_default_str();
        app_.add_option_function<std::vector<std::string>>(
                "--qp",
                [&verify](const std::vector<std::string>& pairs) {
                    for (const std::string& text : pairs) {
                        const std::optional<QpPair> pair = ReadQpPair(text);
                        if (!pair) {
                            throw CLI::ValidationError(
                                "--qp", "'" + text +
                                            "' is not CLIENT_QP:SERVER_QP, both hexadecimal of "
                                            "0 to ffffff");
                        }
                        verify.moreQps.push_back(*pair);
                    }
                },
                "a further connection to verify, CLIENT_QP:SERVER_QP in hexadecimal; repeatable")
            ->type_name("CQP:SQP")
            ->allow_extra_args(false);
    }

    void AddFaultOptions(FaultArgs& faults, bool bothDirections) {
        app_.add_option_function<std::vector<std::string>>(
                "--fault",
                [&faults, bothDirections](const std::vector<std::string>& texts) {
                    for (const std::string& text : texts) {
                        ParsedFaultRule parsed = ParseFaultRule(text, bothDirections);
                        if (!parsed.rule) {
                            throw FaultRefused(parsed.error);
                        }
                        faults.rules.push_back(std::move(*parsed.rule));
                    }
                },
                std::string("an aimed fault, key=value pairs separated by commas; repeatable, "
                            "tried in order before the weights: ") +
                    (bothDirections ? "dir=c2s|s2c, " : "") +
                    "qp=, opcode=NAME|N, psn=N[-M], seen=K, nth=K, every=K, prob=P, count=K, "
                    "action=drop|delay (with ms=D)|reorder|duplicate|corrupt|ecn")
            ->type_name("RULE")
            ->allow_extra_args(false);
        app_.add_option("--seed", faults.seed,
                        "seed the injectors' draws (weights and prob), so that runs repeat")
            ->transform(Decimal(std::numeric_limits<std::uint32_t>::max(),
                                "a whole number of 0 to 4294967295"))
            ->type_name("N");
    }

    void AddOutputOptions(OutputArgs& outputs) {
        const CLI::Validator named(
            [](const std::string& path) {
                return path.empty() ? std::string("a file name, not nothing") : std::string();
            },
            "");
        app_.add_option("--summary", outputs.summaryPath,
                        "write a JSON summary of the run to this file at its end")
            ->check(named)
            ->type_name("FILE");
        CLI::Option* capture =
            app_.add_option("--pcap", outputs.capturePath,
                            "write every frame the bench sees to this pcapng file, each port "
                            "direction an interface, with what the bench did as comments")
                ->check(named)
                ->type_name("FILE");
        app_.add_option("--pcap-limit", outputs.captureLimitMb,
                        "stop writing the capture file once it holds this many megabytes "
                        "(1,000,000 bytes each)")
            ->transform(Decimal(kMaxCaptureLimitMb, kCaptureLimitExpected))
            ->check(CLI::Validator(
                [](const std::string& digits) {
                    return std::stoull(digits) == 0 ? std::string(kCaptureLimitExpected)
                                                    : std::string();
                },
                ""))
            ->needs(capture)
            ->type_name("MB");
    }

    void AddDelay(const std::string& name, int& value, const std::string& meaning) {
        AddPositional(name, value, meaning,
                      Decimal(std::numeric_limits<int>::max(),
                              "a whole number of milliseconds up to 2147483647"),
                      "MS");
    }

    // Returns the exit status when the program is to end at once.
    std::optional<int> Parse(Ports& ports, int argc, const char* const* argv, std::ostream& out,
                             std::ostream& err) {
        app_.add_option("--server-port", ports.server, "the port facing the server")
            ->type_name("IF")
            ->capture_default_str();
        app_.add_option("--client-port", ports.client, "the port facing the client")
            ->type_name("IF")
            ->capture_default_str();
        app_.add_option_function<std::string>(
                "--cpu",
                [&ports](const std::string& text) { ports.cpus = *wire::ParseCpuList(text); },
                "CPUs for the bench's threads, e.g. 0 or 0-1 (the ports' in turn)")
            ->type_name("LIST")
            ->check([](const std::string& text) {
                return wire::ParseCpuList(text) ? "" : "'" + text + "' is not a CPU list";
            });
        // Positional arguments past the last one have always been ignored.
        app_.add_option("ignored", ignored_)->group("");
        try {
            app_.parse(argc, argv);
        } catch (const CLI::ParseError& error) {
            if (error.get_exit_code() == 0) {
                return app_.exit(error, out, err);
            }
            return Refuse(err, OneLine(error.what()));
        } catch (const FaultRefused& refused) {
            return Refuse(err, refused.what());
        }
        if (ports.server == ports.client) {
            return Refuse(
                err, "--server-port and --client-port must differ, not both be " + ports.server);
        }
        return std::nullopt;
    }

    int Refuse(std::ostream& err, const std::string& what) const {
        err << program_ << ": " << what << "; see --help\n";
        return kExitUsage;
    }

    // Says what a direction whose weights do not add up to 100 means for the run.
    void WarnOfWeights(std::ostream& err, const std::string& which, const Weights& weights) const {
        const int sum = std::accumulate(weights.begin(), weights.end(), 0);
        const std::string head = program_ + ": " + which + " add up to " + std::to_string(sum);
        if (sum < 100) {
            err << head << "; the other " << 100 - sum << "% of packets pass unchanged\n";
        } else if (sum > 100) {
            err << head << "; beyond 100 nothing is drawn: effective " << EffectiveShares(weights)
                << "\n";
        }
    }

private:
    template <class T>
    void AddPositional(const std::string& name, T& value, const std::string& meaning,
                       const CLI::Validator& validator, const std::string& type) {
        app_.add_option(name, value, meaning)->required()->transform(validator)->type_name(type);
    }

    CLI::App app_;
    const std::string program_;
    std::vector<std::string> ignored_;
};

}  // namespace

Parsed<MidwireArgs> ParseMidwire(int argc, const char* const* argv, std::ostream& out,
                                 std::ostream& err) {
    Parser parser("midwire",
                  "Forwards the RoCE packets between the client and the server through a fault "
                  "injector per direction; verifies and logs them.");
    MidwireArgs args;
    parser.AddQps(args.clientQp, args.serverQp);
    const std::string delays = "0 to " + std::to_string(kMidwireDelayMaxMs) + " ms";
    parser.AddWeights(args.client, "C_", "the packets from the client", delays);
    parser.AddWeights(args.server, "S_", "the packets from the server", delays);
    parser.AddVerifyOptions(args.verify);
    parser.AddFaultOptions(args.faults, true);
    parser.AddOutputOptions(args.outputs);
    if (const std::optional<int> status = parser.Parse(args.ports, argc, argv, out, err)) {
        return *status;
    }
    parser.WarnOfWeights(err, "client weights", args.client);
    parser.WarnOfWeights(err, "server weights", args.server);
    return args;
}

Parsed<WirewatchArgs> ParseWirewatch(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
    Parser parser("wirewatch",
                  "Forwards every frame both ways unchanged; verifies and logs the RoCE packets.");
    WirewatchArgs args;
    parser.AddQps(args.clientQp, args.serverQp);
    parser.AddVerifyOptions(args.verify);
    parser.AddOutputOptions(args.outputs);
    if (const std::optional<int> status = parser.Parse(args.ports, argc, argv, out, err)) {
        return *status;
    }
    return args;
}

Parsed<WirebendArgs> ParseWirebend(int argc, const char* const* argv, std::ostream& out,
                                   std::ostream& err) {
    Parser parser("wirebend",
                  "Forwards the server's frames unchanged and the client's RoCE packets through a "
                  "fault injector.");
    WirebendArgs args;
    parser.AddWeights(args.weights, "", "the client's packets", "MIN_MS to MAX_MS");
    parser.AddDelay("MIN_MS", args.minDelayMs, "the smallest injected delay, in milliseconds");
    parser.AddDelay("MAX_MS", args.maxDelayMs, "the largest injected delay, in milliseconds");
    parser.AddFaultOptions(args.faults, false);
    parser.AddOutputOptions(args.outputs);
    if (const std::optional<int> status = parser.Parse(args.ports, argc, argv, out, err)) {
        return *status;
    }
    if (args.minDelayMs > args.maxDelayMs) {
        return parser.Refuse(err, "the smallest delay (" + std::to_string(args.minDelayMs) +
                                      " ms) exceeds the largest (" +
                                      std::to_string(args.maxDelayMs) + " ms)");
    }
    parser.WarnOfWeights(err, "weights", args.weights);
    return args;
}

}  // namespace cli
