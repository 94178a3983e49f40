// The test binary's operator new counts: while a scope is armed, it records
// the largest single allocation and the peak of bytes held at once.
#pragma once

#include <cstddef>

namespace tessaly::test {

class AllocationWatch {
public:
    AllocationWatch();   // arms counting, from zero
    ~AllocationWatch();  // disarms
    [[nodiscard]] std::size_t Largest() const;
    [[nodiscard]] std::size_t Peak() const;
};

}  // namespace tessaly::test
