// Byte vectors that can reach tens of megabytes (a heap dump's sections). Each fresh page of such
// a vector costs a fault when first touched, and on a virtual machine a fault is expensive. Grown
// through ResizeBytes, a large vector gets storage advised to use huge pages where the system
// offers them on request, which takes about one fault per two megabytes instead of one per page.
#pragma once

#include <cstddef>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

// Resizes `bytes` to `size` as std::vector::resize does (new bytes are zero, capacity grows at
// least twofold); storage of two megabytes or more is advised as above.
void ResizeBytes(std::vector<BYTE>& bytes, size_t size);

}  // namespace Controller
