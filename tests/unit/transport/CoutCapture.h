#pragma once

#include <iostream>
#include <sstream>
#include <string>

// Redirects std::cout into a string for the life of the object and then puts
// back both the original buffer and the original format flags.
class CoutCapture {
public:
    CoutCapture() : saved(std::cout.rdbuf(buffer.rdbuf())), savedFlags(std::cout.flags()) {}
    ~CoutCapture() {
        std::cout.rdbuf(saved);
        std::cout.flags(savedFlags);
    }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string Text() const { return buffer.str(); }
    void Clear() { buffer.str(""); }

private:
    std::ostringstream buffer;
    std::streambuf* saved;
    std::ios::fmtflags savedFlags;
};
