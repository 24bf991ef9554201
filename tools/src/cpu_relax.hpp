// The pause between two looks at a word or a clock in a spin: it frees the core's shared
// resources for its sibling thread and keeps the spin from flooding the memory system.
#pragma once

namespace quillmere_tools {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace quillmere_tools
