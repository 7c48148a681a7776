# The formatter's built-in non-bootable NTFS boot code (the bytes from 0x54
# on are the table kNonBootableCode of NtfsBuiltinData.cpp). It runs from
# 0:7C00 behind the jump, OEM id and parameter block that the formatter fills
# in: prints its message, waits for a key and asks the BIOS for the next
# boot device. Assemble with
#   i686-w64-mingw32-as --32 -o boot.o NtfsBootNonBootable.S
#   i686-w64-mingw32-objcopy -O binary -j .text boot.o boot.bin
.code16
.org 0x54
# Runs at 0:7C00 or 07C0:0; work from 0:7C00 with our own stack.
start:
    cli
    xor %ax, %ax
    mov %ax, %ss
    mov $0x7C00, %sp
    mov %ax, %ds
    sti
    cld
    mov $(0x7C00 + msg), %si
next:
    lodsb
    test %al, %al
    jz keywait
    mov $0x0E, %ah
    mov $0x0007, %bx
    int $0x10
    jmp next
keywait:
    xor %ax, %ax
    int $0x16
    int $0x19
halt:
    hlt
    jmp halt
msg:
    .ascii "\r\nThis is not a bootable disk. Please insert a bootable floppy and\r\n"
    .ascii "press any key to try again ... \r\n"
    .byte 0
