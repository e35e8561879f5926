/*
 * A small application using the configuration store: it creates its settings key,
 * stores a few typed values, reads them back and lists what the key holds.
 */
#include "dovizuz.h"

#include <stdio.h>
#include <string.h>

static int report(const char *what, int32_t rc) {
    if (rc != ZCONF_OK)
        fprintf(stderr, "zconf_example: %s failed: %s (%d)\n", what, ZConfErrorText(rc), rc);
    return rc;
}

static void print_value(const char *name, uint32_t type, const uint8_t *data, uint32_t len) {
    uint32_t word;
    printf("  %-10s ", name);
    switch (type) {
    case ZCONF_VALUE_SZ:
        printf("string \"%s\"\n", (const char *)data);
        break;
    case ZCONF_VALUE_DWORD:
        memcpy(&word, data, sizeof word);
        printf("dword  %u\n", word);
        break;
    default:
        printf("type %u, %u bytes\n", type, len);
        break;
    }
}

int main(void) {
    ZConfKeyHandle eth0;
    uint32_t created = 0, port = 8080, mtu = 1500;
    const char host[] = "device-01";
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

    if (report("create key",
               ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "Network\\Eth0", 0, &created, &eth0)) != ZCONF_OK)
        return 1;
    printf("Network\\Eth0 %s (handle %d)\n", created ? "created" : "opened", eth0);

    if (report("set Port", ZConfSetValueEx(eth0, "Port", ZCONF_VALUE_DWORD, &port, 4)) ||
        report("set Mtu", ZConfSetValueEx(eth0, "Mtu", ZCONF_VALUE_DWORD, &mtu, 4)) ||
        report("set Host", ZConfSetValueEx(eth0, "Host", ZCONF_VALUE_SZ, host, sizeof host)) ||
        report("set Mac", ZConfSetValueEx(eth0, "Mac", ZCONF_VALUE_BINARY, mac, sizeof mac)))
        return 1;

    uint32_t got = 0, size = sizeof got, type = 0;
    if (report("query Port", ZConfQueryValueEx(eth0, "port", &type, &got, &size)) != ZCONF_OK)
        return 1;
    printf("Port reads back as %u\n", got);

    printf("values of Network\\Eth0:\n");
    for (uint32_t i = 0;; i++) {
        char name[ZCONF_MAX_NAME + 1];
        uint8_t data[64];
        uint32_t name_size = sizeof name, data_size = sizeof data;
        int32_t rc = ZConfEnumValue(eth0, i, name, &name_size, &type, data, &data_size);
        if (rc == ZCONF_ERR_NOENT)
            break;
        if (report("enumerate values", rc) != ZCONF_OK)
            return 1;
        print_value(name, type, data, data_size);
    }
    return report("close key", ZConfCloseKey(eth0)) == ZCONF_OK ? 0 : 1;
}
