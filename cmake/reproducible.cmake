# The shipping DLL is the same bytes wherever and whenever one commit is built
# (scripts/release, tests/artifact): no build path in the objects or the
# symbols, and the PE header's time stamps are the commit's time, which ld
# takes from SOURCE_DATE_EPOCH, instead of the link's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(IKX_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE IKX_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(IKX_SOURCE_DATE_EPOCH 0)  # no history (an unpacked archive): a fixed stamp still
  endif()
endif()
# objcopy and strip write the header's stamp anew, so they get it too.
set(IKX_AT_COMMIT_TIME ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${IKX_SOURCE_DATE_EPOCH})
set(CMAKE_C_LINKER_LAUNCHER ${IKX_AT_COMMIT_TIME})
set(CMAKE_CXX_LINKER_LAUNCHER ${IKX_AT_COMMIT_TIME})

# The deps may live outside the tree (a worktree links the main checkout's).
file(REAL_PATH ${IKX_DEPS} deps_real)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${deps_real}=deps/${CMAKE_SYSTEM_PROCESSOR}>")
