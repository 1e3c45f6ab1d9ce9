// Keeps the core library non-empty while kernels are added beside it.
namespace orvane::core {
const char *version() { return "0.1.0"; }
}  // namespace orvane::core
