#pragma once
#include <cstdint>

#include <vector_types.h>

// Sorts `size` float4 elements of device memory in place, ascending by w; elements move
// whole, and elements of equal w keep their original order. Device failures end the
// process. Returns 0.
int bbSort(float4* dData, uint32_t size);
