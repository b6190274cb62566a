// The library path prefix: the directory under which parameter and
// calibration files are looked for and written.
#include "core/log.h"
#include "core/path.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>

namespace {

char g_prefix[256] = "./";

bool is_dir(const char *p)
{
    struct stat st;
    return ::stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

int make_dir(const char *p)
{
    return ::mkdir(p, 0755) == 0 ? 0 : -1;
}

} // namespace

namespace pylox {

void path_set_default()
{
    std::memset(g_prefix, 0, sizeof g_prefix);
    std::memcpy(g_prefix, "./", 2);
}

} // namespace pylox

extern "C" {

PYLOX_API int pylox_path_cfg(const char *path)
{
    if (!path) {
        LOG_ERR("[%s] wrong params: path is NULL\n");
        return -1;
    }
    std::strncpy(g_prefix, path, sizeof g_prefix);
    g_prefix[sizeof g_prefix - 1] = 0;
    LOG_DBG("[%s] PATH_PREIFX: %s\n", g_prefix);

    char dir[256] = {0};
    const size_t n = std::strlen(g_prefix);
    if (n + 1 <= sizeof dir)
        std::memcpy(dir, g_prefix, n + 1);
    size_t len = std::strlen(dir);
    if (len > 0 && (dir[len - 1] == '/' || dir[len - 1] == '\\'))
        dir[--len] = 0;

    // Create each level in turn; a leading separator (an absolute path) cuts
    // nothing to create.
    for (size_t i = 0; i < len; ++i) {
        if (dir[i] != '/' && dir[i] != '\\')
            continue;
        dir[i] = 0;
        if (i > 0 && !is_dir(dir))
            make_dir(dir);
        dir[i] = '/';
    }
    if (!is_dir(dir))
        return make_dir(dir);
    return 0;
}

PYLOX_API const char *pylox_path_get(void)
{
    return g_prefix;
}

} // extern "C"
