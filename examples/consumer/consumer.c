/*
 * A program built against the installed library, as users build theirs: it creates a
 * key, stores a string and a number in it, reads both back and prints them. It exits
 * with 0 when every call did what it should, and 1 after saying on standard error
 * which call failed.
 *
 * Built with CMake (CMakeLists.txt beside this file: find_package(dovizuz)) or with
 * pkg-config (build-with-pkg-config.sh beside this file).
 */
#include <dovizuz.h>

#include <stdio.h>
#include <string.h>

static int failed(const char *what, int32_t rc) {
    fprintf(stderr, "consumer: %s failed: %d\n", what, rc);
    return 1;
}

int main(void) {
    ZConfKeyHandle key;
    uint32_t disposition = 0, level = 3;
    const char owner[] = "consumer";
    int32_t rc;

    rc = ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "Apps\\Consumer", 0, &disposition, &key);
    if (rc != ZCONF_OK)
        return failed("creating Apps\\Consumer", rc);
    rc = ZConfSetValueEx(key, "Owner", ZCONF_VALUE_SZ, owner, sizeof owner);
    if (rc != ZCONF_OK)
        return failed("setting Owner", rc);
    rc = ZConfSetValueEx(key, "Level", ZCONF_VALUE_DWORD, &level, sizeof level);
    if (rc != ZCONF_OK)
        return failed("setting Level", rc);

    char text[64];
    uint32_t type = 0, size = sizeof text;
    rc = ZConfQueryValueEx(key, "Owner", &type, text, &size);
    if (rc != ZCONF_OK)
        return failed("querying Owner", rc);
    if (type != ZCONF_VALUE_SZ || size != sizeof owner || memcmp(text, owner, size) != 0) {
        fprintf(stderr, "consumer: Owner reads back as type %u, %u bytes\n", type, size);
        return 1;
    }

    uint32_t number = 0;
    size = sizeof number;
    rc = ZConfQueryValueEx(key, "Level", &type, &number, &size);
    if (rc != ZCONF_OK)
        return failed("querying Level", rc);
    if (type != ZCONF_VALUE_DWORD || size != sizeof number || number != level) {
        fprintf(stderr, "consumer: Level reads back as type %u, %u bytes, %u\n", type, size,
                number);
        return 1;
    }

    /* A key that is not there is an error the program is told about, not a crash. */
    ZConfKeyHandle missing;
    rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Apps\\Missing", ZCONF_KEY_READ, &missing);
    if (rc != ZCONF_ERR_NOENT)
        return failed("opening Apps\\Missing (expected ZCONF_ERR_NOENT)", rc);

    rc = ZConfCloseKey(key);
    if (rc != ZCONF_OK)
        return failed("closing Apps\\Consumer", rc);

    printf("Apps\\Consumer %s: Owner = \"%s\", Level = %u\n",
           disposition == 1 ? "created" : "opened", text, number);
    return 0;
}
