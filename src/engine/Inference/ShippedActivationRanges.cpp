// Activation ranges of the models we ship, written by `pelorin_precision_bench calibrate` from the
// photos listed in bench/precision/CALIBRATION.txt and the test photos of scripts/fetch-test-images
// (none of them in the agreement set).
#include <cstddef>
#include <iterator>
#include <string_view>

namespace pelorin::inference {

extern const std::string_view shippedActivationRanges[];
extern const size_t shippedActivationRangeCount;

// ISNet general-use, fp16 weights (scripts/fetch-model).
const std::string_view shippedActivationRanges[] = {
    R"(model b6e8497ba978a6f5fbb647e419d2696cd80df5a23cb6a8ea532021911bd76acb
13.5024357 /Concat_1_output_0
13.3487053 /Concat_3_output_0
19.0363979 /Concat_5_output_0
26.3009644 /Concat_7_output_0
33.9330292 /Concat_9_output_0
6.69791222 /conv_in/Conv_output_0
25.1834679 /pool12/MaxPool_output_0
21.0211773 /pool23/MaxPool_output_0
16.6182232 /pool34/MaxPool_output_0
11.7819939 /pool45/MaxPool_output_0
13.5024357 /pool56/MaxPool_output_0
10.6742277 /side1/Conv_output_0 (taps)
18.6183701 /stage1/Concat_10_output_0
9.54923534 /stage1/Concat_2_output_0
15.0675774 /stage1/Concat_4_output_0
11.1419573 /stage1/Concat_6_output_0
8.67706203 /stage1/Concat_8_output_0
7.93820858 /stage1/Concat_output_0
18.6183701 /stage1/pool1/MaxPool_output_0
8.67706203 /stage1/pool2/MaxPool_output_0
10.4716663 /stage1/pool3/MaxPool_output_0
15.0675774 /stage1/pool4/MaxPool_output_0
9.54923534 /stage1/pool5/MaxPool_output_0
7.2472105 /stage1/rebnconv6/relu_s1/Relu_output_0
19.0662804 /stage1/rebnconvin/relu_s1/Relu_output_0
11.1679258 /stage1d/Concat_10_output_0
9.15040684 /stage1d/Concat_2_output_0
10.6772013 /stage1d/Concat_4_output_0
11.6147509 /stage1d/Concat_6_output_0
10.9433861 /stage1d/Concat_8_output_0
6.80460453 /stage1d/Concat_output_0
11.1679258 /stage1d/pool1/MaxPool_output_0
10.9433861 /stage1d/pool2/MaxPool_output_0
11.6147509 /stage1d/pool3/MaxPool_output_0
10.6772013 /stage1d/pool4/MaxPool_output_0
9.15040684 /stage1d/pool5/MaxPool_output_0
6.43715 /stage1d/rebnconv6/relu_s1/Relu_output_0
3.26706743 /stage1d/rebnconvin/relu_s1/Relu_output_0
9.10513592 /stage2/Concat_2_output_0
14.6511812 /stage2/Concat_4_output_0
13.5591784 /stage2/Concat_6_output_0
16.2701187 /stage2/Concat_8_output_0
8.33743382 /stage2/Concat_output_0
16.2701187 /stage2/pool1/MaxPool_output_0
13.5591784 /stage2/pool2/MaxPool_output_0
14.6511812 /stage2/pool3/MaxPool_output_0
9.10513592 /stage2/pool4/MaxPool_output_0
7.21996307 /stage2/rebnconv5/relu_s1/Relu_output_0
19.5798912 /stage2/rebnconvin/relu_s1/Relu_output_0
9.85054684 /stage2d/Concat_2_output_0
14.2944078 /stage2d/Concat_4_output_0
14.511198 /stage2d/Concat_6_output_0
10.7504311 /stage2d/Concat_8_output_0
7.69911385 /stage2d/Concat_output_0
10.7504311 /stage2d/pool1/MaxPool_output_0
14.511198 /stage2d/pool2/MaxPool_output_0
14.2944078 /stage2d/pool3/MaxPool_output_0
9.85054684 /stage2d/pool4/MaxPool_output_0
6.87735081 /stage2d/rebnconv5/relu_s1/Relu_output_0
4.65408754 /stage2d/rebnconvin/relu_s1/Relu_output_0
9.33097458 /stage3/Concat_2_output_0
20.737999 /stage3/Concat_4_output_0
13.4592705 /stage3/Concat_6_output_0
8.08198261 /stage3/Concat_output_0
13.4592705 /stage3/pool1/MaxPool_output_0
20.737999 /stage3/pool2/MaxPool_output_0
9.33097458 /stage3/pool3/MaxPool_output_0
6.85122395 /stage3/rebnconv4/relu_s1/Relu_output_0
16.5107784 /stage3/rebnconvin/relu_s1/Relu_output_0
9.49058342 /stage3d/Concat_2_output_0
13.2458563 /stage3d/Concat_4_output_0
19.6526031 /stage3d/Concat_6_output_0
10.5886192 /stage3d/Concat_output_0
19.6526031 /stage3d/pool1/MaxPool_output_0
13.2458563 /stage3d/pool2/MaxPool_output_0
9.49058342 /stage3d/pool3/MaxPool_output_0
9.22508621 /stage3d/rebnconv4/relu_s1/Relu_output_0
5.78352976 /stage3d/rebnconvin/relu_s1/Relu_output_0
11.8982964 /stage4/Concat_2_output_0
17.2980194 /stage4/Concat_4_output_0
9.25793839 /stage4/Concat_output_0
17.2980194 /stage4/pool1/MaxPool_output_0
11.8982964 /stage4/pool2/MaxPool_output_0
8.14383888 /stage4/rebnconv3/relu_s1/Relu_output_0
10.8952465 /stage4/rebnconvin/relu_s1/Relu_output_0
11.4514923 /stage4d/Concat_2_output_0
13.957613 /stage4d/Concat_4_output_0
8.09456253 /stage4d/Concat_output_0
13.957613 /stage4d/pool1/MaxPool_output_0
11.4514923 /stage4d/pool2/MaxPool_output_0
6.91006804 /stage4d/rebnconv3/relu_s1/Relu_output_0
5.26999331 /stage4d/rebnconvin/relu_s1/Relu_output_0
8.83706379 /stage5/Concat_1_output_0
9.45724297 /stage5/Concat_2_output_0
13.4563503 /stage5/Concat_output_0
8.50844765 /stage5/rebnconv1/relu_s1/Relu_output_0
7.93847322 /stage5/rebnconv2/relu_s1/Relu_output_0
9.15392971 /stage5/rebnconv3/relu_s1/Relu_output_0
7.73063898 /stage5/rebnconvin/relu_s1/Relu_output_0
8.54467106 /stage5d/Concat_1_output_0
9.76639652 /stage5d/Concat_2_output_0
9.1542635 /stage5d/Concat_output_0
8.68637657 /stage5d/rebnconv1/relu_s1/Relu_output_0
8.54467106 /stage5d/rebnconv2/relu_s1/Relu_output_0
8.17677879 /stage5d/rebnconv3/relu_s1/Relu_output_0
5.13954782 /stage5d/rebnconvin/relu_s1/Relu_output_0
6.84055424 /stage6/Concat_1_output_0
7.05426979 /stage6/Concat_2_output_0
5.11140108 /stage6/Concat_output_0
7.05426979 /stage6/rebnconv1/relu_s1/Relu_output_0
6.1366477 /stage6/rebnconv2/relu_s1/Relu_output_0
5.11140108 /stage6/rebnconv3/relu_s1/Relu_output_0
4.0345583 /stage6/rebnconvin/relu_s1/Relu_output_0
7.93941784 graph_output_cast_6
0.5 input
)"};
const size_t shippedActivationRangeCount = std::size(shippedActivationRanges);

} // namespace pelorin::inference
