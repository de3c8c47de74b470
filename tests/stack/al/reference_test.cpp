// Register reference texts into type and zero-based offset.
#include "stack/al/reference.h"

#include <gtest/gtest.h>

namespace {

struct ReferenceCase {
    const char *text;
    int32_t result;
    uint16_t refType;
    uint16_t offset;
};

class RegisterReference : public ::testing::TestWithParam<ReferenceCase> {};

} // namespace

TEST_P(RegisterReference, ParsesToTypeAndOffset) {
    const ReferenceCase &c = GetParam();
    uint16_t refType = 77, offset = 77;
    EXPECT_EQ(modplParseReference(c.text, &refType, &offset), c.result) << c.text;
    EXPECT_EQ(refType, c.refType) << c.text;
    EXPECT_EQ(offset, c.offset) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RegisterReference,
    ::testing::Values(ReferenceCase{"400011", 1, 4, 10}, ReferenceCase{"300001", 1, 3, 0},
                      ReferenceCase{"000001", 1, 0, 0}, ReferenceCase{"100020", 1, 1, 19},
                      ReferenceCase{"465536", 1, 4, 65535}, ReferenceCase{"465537", 0, 0, 0},
                      ReferenceCase{"400000", 0, 0, 0}, ReferenceCase{"4", 0, 0, 0},
                      ReferenceCase{"40", 0, 0, 0}, ReferenceCase{"41", 1, 4, 0},
                      ReferenceCase{"4000011", 1, 4, 0}, ReferenceCase{"4000x1", 0, 0, 0},
                      ReferenceCase{"400001x", 1, 4, 0}, ReferenceCase{"200001", 0, 0, 0},
                      ReferenceCase{"500001", 0, 0, 0}, ReferenceCase{"A00001", 0, 0, 0},
                      ReferenceCase{"-40001", 0, 0, 0}, ReferenceCase{"", 0, 0, 0}));
