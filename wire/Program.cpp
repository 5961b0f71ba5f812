#include "wire/Program.h"

#include <exception>
#include <iostream>

#include "wire/Error.h"

namespace wire {

int RunProgram(const char* name, int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const Error& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        return kExitSetupFailure;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << std::endl;
    } catch (...) {
        std::cerr << name << ": unexpected failure" << std::endl;
    }
    return 1;
}

}  // namespace wire
