# Our own code builds with strict warnings; JUCE's sources keep their own flags.
function (zarvik_strict_warnings target)
    target_compile_options (${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
