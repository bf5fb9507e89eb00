#pragma once

// The project's one assertion facility. Unlike <cassert> it stays active in release builds:
// a broken precondition in the shipped updater must stop it, not let it overwrite files.
namespace QOR::Detail
{
    // Writes "Assertion failed: <expression>, file <file>, line <line>" to standard error and aborts.
    [[noreturn]] void AssertionFailed(const char* expression, const char* file, int line) noexcept;
}

#define QOR_ASSERT(expression)                                                                                         \
    ((expression) ? static_cast<void>(0) : ::QOR::Detail::AssertionFailed(#expression, __FILE__, __LINE__))
