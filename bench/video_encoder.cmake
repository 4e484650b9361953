# The H.264 encoder of the capture: x264 per 640 x 480 picture.
diviv_add_bench(bench_video_encoder SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/video_encoder_bench.cpp LIBS diviv_platform)
