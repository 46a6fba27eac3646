// Conversion between the Windows character set (code page 1252) and the OEM
// character set (code page 437) for tables whose strings are stored as OEM.
// Characters without an exact counterpart map to their closest plain letter
// or to '?'. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vm::storage {

void AnsiToOem(uint8_t* bytes, size_t n);
void OemToAnsi(uint8_t* bytes, size_t n);

}  // namespace vm::storage
