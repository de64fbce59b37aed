// Anchor for the test support library; the fakes themselves are mostly header-only.
namespace kv::test {
void SupportAnchor() {}
}  // namespace kv::test
