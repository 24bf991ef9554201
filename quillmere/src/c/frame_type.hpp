// The frame-type record of a channel, stored by a C writer and read by name.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "include/quillmere/quillmere.h"

namespace quillmere::c {

// Stores `record` unless the channel holds one: QM_OK when it holds exactly `record` afterwards.
qm_status store_frame_type(std::string_view name, std::span<const std::byte> record);

// Copies the record into `out`; *size is its length (also when it does not fit).
qm_status load_frame_type(std::string_view name, std::span<std::byte> out, std::size_t& size);

}  // namespace quillmere::c
