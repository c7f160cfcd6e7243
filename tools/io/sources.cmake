# Sources of tools/io, the tool's file formats. One list for the tool's
# orvane_tool_io target and for the fuzz build, which compiles the same
# readers instrumented.
file(GLOB ORVANE_TOOL_IO_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
