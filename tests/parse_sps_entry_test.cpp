#include <gtest/gtest.h>

#include "api/RecH264Data.h"

namespace {

TEST(ParseSPS, BaselineElementsAndTruncation) {
    // sps_id 0 ("1"), log2_max_frame_num_minus4 0 ("1"), poc type 0 ("1"),
    // log2_max_poc_lsb_minus4 0 ("1"), max_num_ref_frames 1 ("010"), gaps 0,
    // width_in_mbs_minus1 21 ("000010110"), height_in_map_units_minus1 17 ("000010010").
    const unsigned char bytes[] = {0xF4, 0x0B, 0x04, 0x80};
    SPS_DATA sps;
    ASSERT_TRUE(RecH264Data::ParseSPS(bytes, sizeof bytes, 66, sps));
    EXPECT_EQ(sps.max_num_ref_frames, 1u);
    EXPECT_EQ(sps.pic_width_in_mbs_minus1, 21u);
    EXPECT_EQ(sps.pic_height_in_map_units_minus1, 17u);
    SPS_DATA cut;
    EXPECT_FALSE(RecH264Data::ParseSPS(bytes, 2, 66, cut));
}

}  // namespace
