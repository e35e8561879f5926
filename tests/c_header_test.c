/* Built as C against the shared library: the header is valid C and the calls work. */
#include "dovizuz.h"

#include <stdio.h>

/* Ends the program with status 1 and the failed condition when cond is false. */
#define CHECK(cond)                                                                                \
    if (!(cond))                                                                                   \
    return fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), 1

int main(void) {
    ZConfKeyHandle key = -1;
    uint32_t disposition = 7, port = 8080, type = 0, got = 0, size = sizeof got;
    CHECK(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "Net\\Eth0", 0, &disposition, &key) == ZCONF_OK);
    CHECK(key == 1 && disposition == 1);
    CHECK(ZConfSetValueEx(key, "Port", ZCONF_VALUE_DWORD, &port, sizeof port) == ZCONF_OK);
    CHECK(ZConfQueryValueEx(key, "PORT", &type, &got, &size) == ZCONF_OK);
    CHECK(type == ZCONF_VALUE_DWORD && got == 8080 && size == 4);
    CHECK(ZConfCloseKey(key) == ZCONF_OK);
    CHECK(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "No", ZCONF_KEY_READ, &key) == ZCONF_ERR_NOENT &&
          key == -2);
    puts("c header test: ok");
    return 0;
}
