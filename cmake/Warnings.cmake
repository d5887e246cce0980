# Warning flags of every directory added from here on (our own code only);
# -Werror is on unless VORLANE_WERROR is switched off.
add_compile_options(-Wall -Wextra)
if(VORLANE_WERROR)
    add_compile_options(-Werror)
endif()
