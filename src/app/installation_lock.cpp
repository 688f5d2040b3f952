#include "app/installation_lock.h"

#include "auth/ed25519/sha512.h"
#include "common/text.h"

namespace tavrel {

platform::native_text installation_lock_name(const path& app_dir) {
    // Object names cannot hold the path itself (separators, length), so a digest of it. The
    // global namespace, not the session's: updaters in other sessions (fast user switching,
    // Remote Desktop) must be excluded too, and a standard user may create a mutex there (only
    // file mappings need SeCreateGlobalPrivilege):
    // https://learn.microsoft.com/windows/win32/termserv/kernel-object-namespaces
    const std::string text = path_display_text(app_dir);
    sha512_context context;
    std::uint8_t digest[64];
    sha512_init(&context);
    sha512_update(&context, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    sha512_final(&context, digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = "Global\\TavrelUpdateLock-";
    for (int i = 0; i < 16; ++i) {
        name.push_back(hex[digest[i] >> 4]);
        name.push_back(hex[digest[i] & 15]);
    }
    return to_native(name);
}

scoped_handle lock_installation(const path& app_dir) {
    return scoped_handle(platform::acquire_named_lock(installation_lock_name(app_dir)));
}

} // namespace tavrel
