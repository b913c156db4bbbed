# A 4 K data image for the binary example: a banner, then a 256-entry
# square table and a ramp, padded with the erased value 0xFF.
        .data
        .ascii  "TORVEX example data image\0"
        .balign 16, 0
        .set    n, 0
        .rept   256
        .short  n * n
        .set    n, n + 1
        .endr
        .set    n, 0
        .rept   256
        .byte   n
        .set    n, n + 1
        .endr
        .balign 4096, 0xFF
