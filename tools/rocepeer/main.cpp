// rocepeer: a RoCE v2 peer in user space, for the bench's tests and benchmarks.
#include <CLI/CLI.hpp>

#include <csignal>
#include <exception>
#include <functional>
#include <iostream>
#include <vector>

#include "tools/rocepeer/Options.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int) {
    stopSignal = 1;
}

struct Command {
    CLI::App* app;
    std::function<int()> run;
};

template <class Options>
Command AddCommand(CLI::App& app, const char* name, const char* help, Options& options,
                   void (*addOptions)(CLI::App&, Options&), int (*run)(const Options&)) {
    CLI::App* command = app.add_subcommand(name, help);
    addOptions(*command, options);
    return {command, [run, &options] { return run(options); }};
}

// "rocepeer" and the subcommand given, for the messages.
std::string Caller(const CLI::App& app) {
    const auto chosen = app.get_subcommands();
    return "rocepeer" + (chosen.empty() ? "" : " " + chosen.front()->get_name());
}

// Scripts read stderr line by line, and CLI11 words some errors over several.
std::string OneLine(std::string text) {
    for (char& c : text) {
        c = c == '\n' ? ' ' : c;
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string WhatIsWrong(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
    if (!app.get_subcommands().empty() || !dynamic_cast<const CLI::RequiredError*>(&error)) {
        return OneLine(error.what());
    }
    const std::string commands = "respond, request, rate-send, rate-recv or frame";
    return argc < 2 ? "a command is needed: " + commands
                    : std::string(argv[1][0] == '-' ? "unknown option '" : "unknown command '") +
                          argv[1] + "', not " + commands;
}

int Refuse(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
    std::cerr << Caller(app) << ": " << WhatIsWrong(app, error, argc, argv)
              << "; usage: " << Caller(app) << " --help\n";
    return 2;
}

int RunChosen(const CLI::App& app, const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        if (!command.app->parsed()) {
            continue;
        }
        try {
            return command.run();
        } catch (const std::exception& error) {
            std::cerr << Caller(app) << ": " << error.what() << "\n";
            return 1;
        }
    }
    return 2;  // CLI11 has already refused a command line without a subcommand
}

int Main(int argc, char** argv) {
    CLI::App app(
        "A RoCE v2 peer in user space: requester, responder, rate generator and "
        "single-frame sender over raw packet sockets.",
        "rocepeer");
    app.footer(
        "Numbers are decimal or 0x-prefixed hexadecimal. Queue pairs default to 0x11 on "
        "the requester side and 0x12 on the responder side.");
    app.require_subcommand(1);
    app.set_help_flag("-h,--help", "print this help and exit");
    // As ever, an option given twice counts with its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    rocepeer::RespondOptions respond;
    rocepeer::RequestOptions request;
    rocepeer::RateSendOptions rateSend;
    rocepeer::RateReceiveOptions rateReceive;
    rocepeer::FrameOptions frame;
    const std::vector<Command> commands = {
        AddCommand(app, "respond", "answer a requester as a reliable-connection responder", respond,
                   rocepeer::AddRespondOptions, rocepeer::RunRespond),
        AddCommand(app, "request", "send messages go-back-N until all are acknowledged", request,
                   rocepeer::AddRequestOptions, rocepeer::RunRequest),
        AddCommand(app, "rate-send", "send frames at a fixed rate and measure round trips",
                   rateSend, rocepeer::AddRateSendOptions, rocepeer::RunRateSend),
        AddCommand(app, "rate-recv", "count the frames of a rate sender, optionally acknowledging",
                   rateReceive, rocepeer::AddRateReceiveOptions, rocepeer::RunRateReceive),
        AddCommand(app, "frame", "send one frame and print it in hexadecimal", frame,
                   rocepeer::AddFrameOptions, rocepeer::RunFrame),
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return error.get_exit_code() == 0 ? app.exit(error) : Refuse(app, error, argc, argv);
    }
    return RunChosen(app, commands);
}

}  // namespace

namespace rocepeer {
bool StopRequested() {
    return stopSignal != 0;
}
}  // namespace rocepeer

int main(int argc, char** argv) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    try {
        return Main(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "rocepeer: " << error.what() << "\n";
        return 1;
    }
}
