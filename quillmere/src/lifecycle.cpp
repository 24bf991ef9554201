// Create, take over or attach to a channel's segment.
//
// What opening with a geometry does, by the state the segment is found in:
//
//   segment state                   | what happens                         | handle owns name
//   --------------------------------+--------------------------------------+-------------------
//   missing                         | create it and write the header, if   | yes
//                                   | the file system has room             |
//                                   | (initialise_created)                 |
//   exists, size 0 (creator has not | refused: "exists but could not be    | -
//   sized it yet)                   | opened"                              |
//   sized, magic word 0 (creator    | if large enough and its lock is      | yes
//   gone, or not done yet)          | free: write a new header             |
//                                   | (reinitialise); else refused         |
//   initialised                     | check geometry, dtype and mapping    | only if no live
//                                   | (adopt_initialised)                  | process owns it
//   foreign / other layout version  | refused                              | -
//
// Attaching without a geometry (try_attach) never creates, initialises or takes ownership:
// every state short of an initialised header with a non-zero geometry counts as absent.
//
// Initialising a header (by its creator, or over an abandoned segment) happens only under the
// segment's advisory lock, which the creator holds from before the object has a size until
// its header is published; a crashed initialiser's lock goes away with its process.
//
// Every error path lets the handle go under its owner flag at that moment: a segment that
// this call created is removed again, one that it opened stays. A handle becomes an owner of
// an opened segment only on the two successful returns (it re-initialised the segment, or
// claim_segment found no live owner).
#include "quillmere/src/lifecycle.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <initializer_list>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "quillmere-core/src/trailer.hpp"

namespace quillmere::lifecycle {

namespace {

using quillmere_core::ErrorKind;
using quillmere_core::fail;
using quillmere_core::format;
using quillmere_core::Result;
namespace metadata = quillmere_core::metadata;
namespace trailer = quillmere_core::trailer;
using MaybeAttached = Result<std::optional<AttachedSegment>>;

// Where the platform keeps named shared-memory objects; their pages come out of this file
// system's size limit.
constexpr const char* kShmFileSystem = "/dev/shm";

struct Request {
  std::string_view name;
  std::uint64_t entry_length;
  std::uint64_t entry_count;
  std::uint8_t dtype;
  std::uint64_t size;  // segment bytes for the geometry
  // What a new segment is made with: the ring plus the doorbell trailer. Existing segments
  // only need `size`; one made at exactly that size just has no trailer.
  std::uint64_t created_size;
};

// Refuses a segment larger than the shared-memory file system has free, before anything is
// created. When the free space cannot be measured, creation's own reservation still refuses.
Result<void> check_room(const Request& request) {
  int fd = ::open(kShmFileSystem, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {};
  struct statvfs fs {};
  const bool measured = ::fstatvfs(fd, &fs) == 0;
  ::close(fd);
  if (!measured) return {};
  const std::uint64_t free_bytes = std::uint64_t{fs.f_bavail} * fs.f_frsize;
  if (request.created_size <= free_bytes) return {};
  return fail(ErrorKind::Os,
              format("channel '{}' needs {} bytes of shared memory ({} entries of {} payload "
                     "bytes) but {} has only {} bytes free",
                     request.name, request.created_size, request.entry_count, request.entry_length,
                     kShmFileSystem, free_bytes));
}

// The first failure of checks that are cheap and free of side effects, in order.
Result<void> first_failure(std::initializer_list<Result<void>> checks) {
  for (const auto& check : checks) {
    if (!check) return check;
  }
  return {};
}

AttachedSegment attached(shm::Shmem shmem, const metadata::HeaderSnapshot& header,
                         bool initialised_here = false) {
  return AttachedSegment{std::move(shmem), header, initialised_here};
}

// Writes this request's header and reads it back, bounded by the mapping. The caller holds
// the segment's lock, so no other initialiser wipes the header (and role claims made on it)
// between these steps.
Result<metadata::HeaderSnapshot> write_header(shm::Shmem& shmem, const Request& request,
                                              std::string_view no_header) {
  // The trailer first: once the magic word is out, a writer may attach and decide from the
  // trailer whether it has a doorbell to ring.
  if (auto at = trailer::trailer_offset(request.entry_length, request.entry_count);
      at && *at <= shmem.len() && shmem.len() - *at >= trailer::kTrailerSize) {
    trailer::init(shmem.base() + *at);
  }
  metadata::init_header(shmem.base(), request.entry_length, request.entry_count, request.dtype,
                        own_pid_word());
  auto header = metadata::read_header(shmem.base(), shmem.len());
  if (!header) return std::unexpected(std::move(header.error()));
  if (!*header) return fail(ErrorKind::Os, std::string(no_header));
  if (auto fits = metadata::check_mapping(shmem.len(), **header); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  return **header;
}

// An initialised header found by an opener: it must match the request and fit the mapping;
// the handle owns the name only if no live process does.
MaybeAttached adopt_initialised(shm::Shmem shmem, const metadata::HeaderSnapshot& found,
                                const Request& request) {
  auto checked = first_failure({
      metadata::validate_header(found, request.entry_length, request.entry_count),
      metadata::check_dtype(found, request.dtype),
      metadata::check_mapping(shmem.len(), found),
  });
  if (!checked) return std::unexpected(std::move(checked.error()));
  shmem.set_owner(claim_segment(metadata::header_word(shmem.base(), metadata::offset::owner_pid)));
  return attached(std::move(shmem), found);
}

// A sized segment whose magic word is 0. Its creator is gone, or has not written
// the header yet. Only the holder of the segment's lock may initialise it: without that, a
// late re-initialiser could wipe a header that its creator has just published, together with
// the writer role claimed on it, and two writers would share the ring.
MaybeAttached reinitialise(shm::Shmem shmem, const Request& request) {
  if (shmem.len() < request.size) {
    return fail(
        ErrorKind::InvalidInput,
        format("abandoned segment '{}' is too small for the requested geometry", request.name));
  }
  if (!shmem.try_lock()) {
    return fail(
        ErrorKind::Os,
        format("shared memory segment '{}' is being initialised by another process", request.name));
  }
  // Under the lock: the initialiser we raced may have finished in the meantime.
  auto current = metadata::read_header(shmem.base(), shmem.len());
  if (!current) return std::unexpected(std::move(current.error()));
  if (*current) {
    shmem.unlock();
    return adopt_initialised(std::move(shmem), **current, request);
  }
  auto header = write_header(shmem, request, "segment has no header after init");
  if (!header) return std::unexpected(std::move(header.error()));
  shmem.unlock();
  shmem.set_owner(true);
  return attached(std::move(shmem), *header, true);
}

// A segment that somebody else created, now opened: validate its header if it has one, else
// re-initialise it.
MaybeAttached adopt_existing(shm::Shmem shmem, const Request& request) {
  auto header = metadata::read_header(shmem.base(), shmem.len());
  if (!header) return std::unexpected(std::move(header.error()));
  if (!*header) return reinitialise(std::move(shmem), request);
  return adopt_initialised(std::move(shmem), **header, request);
}

MaybeAttached open_existing(const Request& request) {
  auto shmem = try_open(request.name);
  if (!shmem) {
    return fail(ErrorKind::Os,
                format("shared memory segment '{}' exists but could not be opened", request.name));
  }
  return adopt_existing(std::move(*shmem), request);
}

// This process made the object and still holds the lock that creation took; the handle is an
// owner, so every error below removes the name again.
MaybeAttached initialise_created(shm::Shmem shmem, const Request& request) {
  auto header = write_header(shmem, request, "freshly created segment has no header");
  if (!header) return std::unexpected(std::move(header.error()));
  shmem.unlock();
  return attached(std::move(shmem), *header, true);
}

MaybeAttached create_or_open(Request request) {
  if (auto ok = metadata::check_geometry(request.entry_length, request.entry_count); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  auto size = metadata::segment_size(request.entry_length, request.entry_count);
  if (!size) return std::unexpected(std::move(size.error()));
  request.size = *size;
  auto created_size = trailer::segment_size(request.entry_length, request.entry_count);
  if (!created_size) return std::unexpected(std::move(created_size.error()));
  request.created_size = *created_size;
  if (auto room = check_room(request); !room) {
    // An existing segment needs no new room (it may be the very thing that fills the file
    // system): go on with it as a create that found the name taken would.
    if (auto existing = try_open(request.name))
      return adopt_existing(std::move(*existing), request);
    return std::unexpected(std::move(room.error()));
  }
  auto created = shm::ShmemConf{}.os_id(request.name).size(request.created_size).create();
  if (created) return initialise_created(std::move(*created), request);
  if (created.error().variant == shm::ShmemError::Variant::NameExists) {
    return open_existing(request);
  }
  return fail(ErrorKind::Os,
              format("failed to create shared memory: {}", created.error().display()));
}

}  // namespace

MaybeAttached open_or_create(std::string_view name, std::optional<std::uint64_t> entry_length,
                             std::optional<std::uint64_t> entry_count, std::uint8_t dtype,
                             bool allow_absent) {
  if (entry_length.has_value() != entry_count.has_value()) {
    return fail(ErrorKind::InvalidInput,
                "entry_length and entry_count must both be supplied or both omitted");
  }
  if (entry_length) return create_or_open(Request{name, *entry_length, *entry_count, dtype, 0, 0});
  auto found = try_attach(name, dtype);
  if (!found || *found || allow_absent) return found;
  return fail(ErrorKind::NotFound,
              "shared memory segment does not exist and sizes were not supplied");
}

MaybeAttached try_attach(std::string_view name, std::uint8_t dtype) {
  auto shmem = shm::ShmemConf{}.os_id(name).open();
  if (!shmem) {
    // Missing (ENOENT), not sized yet (mmap refuses length 0 with EINVAL), or a name the
    // platform refuses (EINVAL, ENAMETOOLONG), which can never name a segment: not there.
    // Anything else (out of descriptors, no permission) is reported with its errno: passing
    // it off as absent would hide the cause for ever.
    const std::int32_t error = shmem.error().errno_value;
    if (error == ENOENT || error == EINVAL || error == ENAMETOOLONG) return std::nullopt;
    return fail(ErrorKind::Os, format("failed to open shared memory segment '{}': {}", name,
                                      shmem.error().display()));
  }
  auto header = metadata::read_header(shmem->base(), shmem->len());
  if (!header) return std::unexpected(std::move(header.error()));
  // Not initialised yet, or initialised with a geometry that carries no ring: not usable.
  if (!*header || (*header)->entry_length == 0 || (*header)->entry_count == 0) {
    return std::nullopt;
  }
  const metadata::HeaderSnapshot& found = **header;
  auto checked = first_failure({
      metadata::check_dtype(found, dtype),
      metadata::check_mapping(shmem->len(), found),
  });
  if (!checked) return std::unexpected(std::move(checked.error()));
  return attached(std::move(*shmem), found);
}

std::optional<shm::Shmem> try_open(std::string_view name) {
  auto opened = shm::ShmemConf{}.os_id(name).open();
  if (!opened) return std::nullopt;
  return std::move(*opened);
}

}  // namespace quillmere::lifecycle
