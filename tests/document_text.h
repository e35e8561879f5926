// The configuration document's fixed text as the tests and the fuzz target expect it,
// written out once here (never taken from the library, whose own text is under test).
#pragma once

// The declaration line every document begins with.
#define ZCONF_TEST_DECLARATION "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
// The document of a store that holds nothing but the root.
#define ZCONF_TEST_EMPTY_DOCUMENT ZCONF_TEST_DECLARATION "<KEY name=\"ZCONF_ROOT\">\n</KEY>\n"
