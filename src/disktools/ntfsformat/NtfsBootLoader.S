# The formatter's built-in NTFS loader boot code (bytes 0x54 to 0x125 are
# kLoaderCode, the second sector kLoaderSecondSector of NtfsBuiltinData.cpp).
# It reads the volume's sectors 1 to 6 behind itself with the INT 13h
# extensions (the BIOS drive goes into the parameter block) and runs them;
# that stage looks for no NTLDR on the volume and reports it missing.
# Assemble as NtfsBootNonBootable.S says.
.code16
.arch i386
.org 0x54
start:
    cli
    xor %ax, %ax
    mov %ax, %ss
    mov $0x7C00, %sp
    mov %ax, %ds
    mov %ax, %es
    sti
    cld
    ljmp $0, $(0x7C00 + norm)
norm:
    mov %dl, 0x7C24
    mov $0x41, %ah
    mov $0x55AA, %bx
    int $0x13
    jc readerr
    cmp $0xAA55, %bx
    jne readerr
    mov 0x7C1C, %eax
    inc %eax
    pushl $0
    pushl %eax
    pushw $0
    pushw $0x7E00
    pushw $6
    pushw $0x10
    mov %sp, %si
    mov $0x42, %ah
    mov 0x7C24, %dl
    int $0x13
    jc readerr
    add $16, %sp
    jmp stage2
readerr:
    mov $(0x7C00 + msgread), %si
fail:
    call print
    mov $(0x7C00 + msgrestart), %si
    call print
halt:
    hlt
    jmp halt
print:
    lodsb
    test %al, %al
    jz printed
    mov $0x0E, %ah
    mov $0x0007, %bx
    int $0x10
    jmp print
printed:
    ret
msgread:
    .ascii "\r\nA disk read error occurred\0"
msgmissing:
    .ascii "\r\nNTLDR is missing\0"
msgcompressed:
    .ascii "\r\nNTLDR is compressed\0"
msgrestart:
    .ascii "\r\nPress Ctrl+Alt+Del to restart\r\n\0"
.org 0x200
# The loader stage read from the volume's next sectors.
stage2:
    mov $(0x7C00 + msgmissing), %si
    jmp fail
