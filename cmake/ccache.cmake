# Worktrees of one clone share compiled objects: paths are hashed relative to
# the source tree, so the same file in another checkout is a cache hit.
find_program(IKX_CCACHE ccache)
if(IKX_CCACHE)
  # Depend mode: a miss costs one compile, not a preprocessor run besides it
  # (a third more on a fresh machine, whose cache is empty). Hits come from
  # the direct mode, across worktrees as before.
  set(launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1
    CCACHE_DEPEND=1 ${IKX_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()
