# The video capture thread's own work and its encoder, per 640 x 480 picture.
diviv_add_bench(bench_video_capture SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/video_capture_bench.cpp LIBS diviv_recording diviv_sim)
