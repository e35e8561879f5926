// The configuration document's fixed text as the tests and the fuzz target expect it,
// written out once here (never taken from the library, whose own text is under test).
#pragma once

// The declaration line every document begins with.
#define ZCONF_TEST_DECLARATION "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
// The document of a store that holds nothing but the root.
#define ZCONF_TEST_EMPTY_DOCUMENT ZCONF_TEST_DECLARATION "<KEY name=\"ZCONF_ROOT\">\n</KEY>\n"
// A document with depth, escapes and the value types most often met.
#define ZCONF_TEST_EXAMPLE                                                                         \
    ZCONF_TEST_DECLARATION                                                                         \
    "<KEY name=\"ZCONF_ROOT\">\n"                                                                  \
    "\t<KEY name=\"Network\">\n"                                                                   \
    "\t\t<VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;</VALUE_SZ>\n"                                \
    "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"                                    \
    "\t\t<VALUE_BINARY name=\"Mac\">001A2B3C4D5E</VALUE_BINARY>\n"                                 \
    "\t\t<KEY name=\"Dns\">\n"                                                                     \
    "\t\t\t<VALUE_MULTI_SZ name=\"Servers\">a&#x00;b&#x00;&#x00;</VALUE_MULTI_SZ>\n"               \
    "\t\t</KEY>\n"                                                                                 \
    "\t</KEY>\n"                                                                                   \
    "</KEY>\n"
