# A tiny real-mode program for the example boards: it greets on the first
# serial port and halts. Linked at offset 0 of segment E000, so it runs
# from the flash window at E000:0000 and its start vector is E000:0000.
        .code16
        .text
        .globl  _start
_start:
        cli
        mov     %cs, %ax
        mov     %ax, %ds
        mov     $0x3F8, %dx
        mov     $greeting, %si
next:
        lodsb
        test    %al, %al
        jz      done
        out     %al, %dx
        jmp     next
done:
        hlt
        jmp     done

greeting:
        .asciz  "Hello from flash at E000:0000\r\n"
