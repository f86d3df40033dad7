// Byte storage that can reach tens of megabytes (a heap dump's sections). Each fresh page of such
// storage costs a fault when first touched, and on a virtual machine a fault is expensive. Storage
// of two megabytes or more from these functions is advised to use huge pages where the system
// offers them on request, which takes about one fault per two megabytes instead of one per page.
#pragma once

#include <cstddef>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

// Resizes `bytes` to `size` as std::vector::resize does (new bytes are zero). A vector that grows
// past two megabytes in a 64-bit process reserves a quarter of a gigabyte of address space at
// once: only the pages it fills take memory, and it grows that far without moving its bytes.
// Nothing is reserved beyond `limit`, the most the vector may hold.
void ResizeBytes(std::vector<BYTE>& bytes, size_t size, size_t limit);
// An empty vector with room for `capacity` bytes.
std::vector<BYTE> ReserveBytes(size_t capacity);

}  // namespace Controller
