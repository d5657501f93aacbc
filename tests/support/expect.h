// Assertions on exceptions: their type and exact message.
#ifndef QOR_TESTS_SUPPORT_EXPECT_H_
#define QOR_TESTS_SUPPORT_EXPECT_H_

#include <gtest/gtest.h>

#include <string>

// Expects `statement` to throw `type` whose what() equals `message`.
#define EXPECT_THROW_MSG(statement, type, message)                                   \
  do {                                                                               \
    try {                                                                            \
      statement;                                                                     \
      ADD_FAILURE() << "expected " #type " from: " #statement;                       \
    } catch (const type& e) {                                                        \
      EXPECT_EQ(std::string(e.what()), std::string(message)) << "from: " #statement; \
    }                                                                                \
  } while (false)

#endif  // QOR_TESTS_SUPPORT_EXPECT_H_
