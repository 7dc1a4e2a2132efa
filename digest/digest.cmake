# The digest is the bottleneck of encryption: its sources are optimised
# even in unoptimised builds. Included after the target velkincore exists.
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/whirlpool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/whirlpoolportable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/whirlpoolavx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/whirlpoolavx512.cpp
  TARGET_DIRECTORY velkincore
  PROPERTIES COMPILE_OPTIONS "-O3")
