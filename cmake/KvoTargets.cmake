# Shared build settings and helpers for the project's targets.

# Warnings fail the build only when asked (the project's CI asks in every
# build it makes); a user's build with another compiler or build type only
# reports them.
option(KVO_WERROR "treat compiler warnings as errors" OFF)

# In optimised builds g++ 12 reports inlined std::string and std::vector
# copies as overlapping or out-of-bounds memcpy calls (known false positives
# of that compiler's -Wrestrict and -Wstringop-*); the sanitizer builds keep
# these warnings, and AddressSanitizer checks the real accesses.
# With AddressSanitizer in an optimised build, g++ 12 also reports the
# moves of std::function inside std::regex as reads of uninitialised memory
# (-Wmaybe-uninitialized, a false positive of the instrumented code).
set(KVO_WARNINGS -Wall -Wextra -Wno-unused-parameter
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<NOT:$<CONFIG:Debug>>>:-Wno-restrict;-Wno-stringop-overflow;-Wno-stringop-overread>)
if(KVO_SANITIZE MATCHES "address")
  list(APPEND KVO_WARNINGS $<$<AND:$<CXX_COMPILER_ID:GNU>,$<NOT:$<CONFIG:Debug>>>:-Wno-maybe-uninitialized>)
endif()
if(KVO_WERROR)
  list(APPEND KVO_WARNINGS -Werror)
endif()

# Blocks handed out unzeroed to callers that write them whole are filled with
# a pattern (framework/tl_alloc.h) in every build the tests run: Debug, and
# the sanitizer builds whatever their build type (CI's AddressSanitizer build
# gives none, so it is RelWithDebInfo, NDEBUG defined). A byte such a caller
# leaves unwritten then shows in every test. Release builds leave the blocks
# as the heap gives them.
if(KVO_SANITIZE)
  add_compile_definitions(KVO_FILL_UNZEROED)
else()
  add_compile_definitions($<$<CONFIG:Debug>:KVO_FILL_UNZEROED>)
endif()

if(KVO_SANITIZE)
  set(KVO_SAN_FLAGS -fsanitize=${KVO_SANITIZE} -fno-omit-frame-pointer)
  if(KVO_SANITIZE MATCHES "undefined")
    list(APPEND KVO_SAN_FLAGS -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${KVO_SAN_FLAGS})
  add_link_options(-fsanitize=${KVO_SANITIZE})
endif()

# kvo_subsystem(NAME DIR DEPS...): an internal static library of every .cpp
# in DIR (not recursive). A folder without sources yet gives an interface
# library, so later subsystems can be linked before they hold code.
function(kvo_subsystem name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_compile_options(${name} PRIVATE ${KVO_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# Shared objects refuse undefined symbols, except in clang's sanitizer builds,
# where the sanitizer runtime is linked into the executable only.
if(KVO_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(KVO_NO_UNDEFINED "")
else()
  set(KVO_NO_UNDEFINED -Wl,-z,defs)
endif()

# Fuzzing builds instrument every library for coverage, so libFuzzer is guided
# by the parsers' own branches and not only by the fuzz target's file.
if(KVO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
