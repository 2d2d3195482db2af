// Owns the tests' precompiled GoogleTest header; gtest_main supplies its main.
#include <gtest/gtest.h>
