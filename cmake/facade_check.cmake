# The system reaches the box's files, devices, shell, clock and threads only
# through the platform facade (src/platform/os.h). On the simulated box a
# descriptor is a small number of the box's own, the same numbers the
# development machine's process uses for its real files: a call that went to
# the C library directly would act on one of those. This check lists the
# undefined symbols of the system's objects and fails on any such call.
#
#   cmake -DNM=nm -DFILES="libbox_system.a;..." -P facade_check.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT NM OR NOT FILES)
  message(FATAL_ERROR "usage: cmake -DNM=nm -DFILES=objects... -P facade_check.cmake")
endif()

# Calls of the C library that os.h stands in for, with the names the C
# library's headers may turn them into (large files, fortified builds, the
# older stat entry points).
set(forbidden
  open open64 openat openat64 __open_2 __open64_2 __openat_2 creat creat64
  close close_range read __read_chk pread pread64 __pread_chk __pread64_chk readv
  write pwrite pwrite64 writev ioctl lseek lseek64 llseek
  mmap mmap64 munmap mremap poll __poll_chk ppoll __ppoll_chk select pselect epoll_wait
  fcntl fcntl64 dup dup2 dup3 pipe pipe2
  fopen fopen64 freopen freopen64 fdopen opendir fdopendir
  popen pclose system fork vfork execl execle execlp execv execve execvp posix_spawn posix_spawnp
  stat stat64 lstat lstat64 fstat fstat64 fstatat fstatat64 statx __xstat __xstat64 __lxstat
  __lxstat64 __fxstat __fxstat64 access faccessat truncate truncate64 ftruncate ftruncate64
  fsync fdatasync sync syncfs unlink rename mkdir rmdir
  nanosleep clock_nanosleep __clock_nanosleep_time64 usleep sleep
  clock_gettime __clock_gettime64 gettimeofday __gettimeofday64
  pthread_create pthread_cancel pthread_join pthread_mutex_init pthread_mutex_destroy
  pthread_mutex_lock pthread_mutex_trylock pthread_mutex_unlock pthread_cond_init
  pthread_cond_destroy pthread_cond_signal pthread_cond_broadcast pthread_cond_wait
  pthread_cond_timedwait __pthread_cond_timedwait64)

execute_process(COMMAND ${NM} -u -P ${FILES}
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(object "${FILES}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.*\\[.*\\]|[^ ]+\\.o):$")
    set(object "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^([A-Za-z0-9_.]+)(@[^ ]*)? [Uw]")
    set(symbol "${CMAKE_MATCH_1}")
    if(symbol IN_LIST forbidden)
      list(APPEND found "${object}: ${symbol}")
    endif()
  endif()
endforeach()

if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "calls the C library directly, not through os.h:\n  ${text}")
endif()
message(STATUS "every file, device, shell, clock and thread call goes through os.h")
