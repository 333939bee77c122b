// Random bytes from the kernel's generator.
#pragma once

#include <cstddef>

// Fills buffer with length random bytes; false when the kernel refuses.
bool PL_GetRandomBytes(void* buffer, std::size_t length);
