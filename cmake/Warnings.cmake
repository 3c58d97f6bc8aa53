# Our own code builds with strict warnings; JUCE's sources keep their own flags.
function (zarvik_strict_warnings target)
    target_compile_options (${target} PRIVATE -Wall -Wextra -Werror)

    # GCC 12 takes juce::ListenerList's call iterator, which links itself into
    # the list and unlinks itself when it goes out of scope, for a dangling pointer.
    if (CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options (${target} PRIVATE -Wno-dangling-pointer)
    endif()
endfunction()
