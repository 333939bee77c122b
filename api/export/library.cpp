// The shared library's own translation unit. The exported functions live in
// the kvo_api archive, which is linked in whole; this file only gives the
// linker a source of its own for the shared object.
namespace kvo {
[[maybe_unused]] static const char kLibraryName[] = "kvoapi";
}
