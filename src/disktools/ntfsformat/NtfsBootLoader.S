# The formatter's built-in NTFS loader boot code (bytes 0x54 to 0x1FD are
# kLoaderCode, the bytes from 0x200 on kLoaderStage2 of NtfsBuiltinData.cpp).
# The first sector reads the volume's sectors 1 to 6 behind itself with the
# INT 13h extensions (the BIOS drive goes into the parameter block) and runs
# them. That stage reads $MFT's record, the root directory's record and, on
# the way down its index, its index blocks; finds NTLDR, refuses a compressed
# one, reads its data runs to 2000:0000 and jumps there with the boot drive
# in DL. One 64 KiB segment holds the code and the buffers:
#   07C0:0000  this code (3,584 bytes)
#   07C0:1000  $MFT's own record      07C0:2000  the record being read
#   07C0:3000  an index block (up to 52 KiB)
# Assemble as NtfsBootNonBootable.S says.
.code16
.arch i386
.set BPS, 0x0B                  # parameter block: bytes per sector
.set SPC, 0x0D                  # sectors per cluster
.set HIDDEN, 0x1C               # the volume's first disk sector
.set DRIVE, 0x24                # BIOS drive (stored here on start)
.set MFTLCN, 0x30               # first cluster of $MFT
.set RECSIZE, 0x40              # clusters (or -log2 bytes) per file record
.set MFTREC, 0x1000
.set FILEREC, 0x2000
.set INDEX, 0x3000
.set INDEXMAX, 0xD000
.set BASE, 0x7C00               # linear address of offset 0
.set LOADSEG, 0x2000

.org 0x54
start:
    cli
    xor %ax, %ax
    mov %ax, %ss
    mov $BASE, %sp
    mov $(BASE >> 4), %ax
    mov %ax, %ds
    mov %ax, %es
    sti
    cld
    ljmp $(BASE >> 4), $norm
norm:
    mov %dl, DRIVE
    mov $0x41, %ah
    mov $0x55AA, %bx
    int $0x13
    jc readerr
    cmp $0xAA55, %bx
    jne readerr
    test $1, %cl                # packet reads supported
    jz readerr
    mov $1, %eax
    mov $6, %cx
    mov $(BASE + 0x200), %edi
    call readlba
    jmp stage2

# Reads cx sectors from the volume's sector eax to the linear address edi.
readlba:
    pushal
    push %ds
    add HIDDEN, %eax
    pushl $0
    pushl %eax
    mov %edi, %ebx
    shr $4, %ebx
    push %bx                    # segment
    and $0xF, %di
    push %di                    # offset
    push %cx
    pushw $0x10
    mov %sp, %si
    mov DRIVE, %dl
    push %ss
    pop %ds
    mov $0x42, %ah
    int $0x13
    jc readerr
    add $16, %sp
    pop %ds
    popal
    ret

compressed:
    mov $msgcompressed, %si
    jmp fail
missing:
    mov $msgmissing, %si
    jmp fail
readerr:
    mov $msgread, %si
fail:
    push %cs
    pop %ds
    call print
    mov $msgrestart, %si
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
.org 0x1FE
    .byte 0x55, 0xAA

# The loader stage read from the volume's next sectors.
stage2:
    movzbl SPC, %eax
    cmp $0x80, %al              # above 128: 2 to the power of -byte
    jbe 1f
    mov %al, %cl
    neg %cl
    mov $1, %eax
    shl %cl, %eax
1:  mov %eax, spc
    movzwl BPS, %ecx
    mov %ecx, bps
    mov $0x8000, %eax           # 32 KiB per read
    xor %edx, %edx
    div %ecx
    mov %eax, chunk
    movsbl RECSIZE, %eax        # record size in sectors
    call blocksize
    mov %eax, recsec
    cmp $MFTREC, %ebx
    ja readerr
    test %eax, %eax
    jz readerr

    # $MFT's own record lies at the start of $MFT; its $DATA maps the rest.
    mov MFTLCN, %eax
    imul spc, %eax
    mov recsec, %ecx
    mov $(BASE + MFTREC), %edi
    call readlba
    mov $MFTREC, %bx
    call fixfile
    mov $0x80, %eax
    call findattr
    jc readerr
    cmpb $0, 8(%si)
    je readerr
    mov %si, mftdata

    # The root directory (record 5): its index root, and the index blocks
    # its $INDEX_ALLOCATION maps.
    mov $5, %eax
    call readrec
    mov $0xA0, %eax
    call findattr
    jc 1f
    mov %si, alloc
1:  mov $0x90, %eax
    call findattr
    jc missing
    add 0x14(%si), %si          # the index root's value
    mov 8(%si), %eax            # bytes per index block
    cmp $INDEXMAX, %eax
    ja readerr
    xor %edx, %edx
    divl bps
    mov %eax, idxsec
    mov spc, %eax
    imul bps, %eax              # cluster bytes
    cmp %eax, 8(%si)            # block VCNs count clusters, or sectors
    mov $1, %eax                # for blocks smaller than a cluster
    jb 1f
    mov spc, %eax
1:  mov %eax, idxunit
    add $0x10, %si
    add (%si), %si              # first entry

    # Down the B+ tree: in each node the first entry not below "NTLDR" is
    # the match or the way down.
search:
    testb $2, 0x0C(%si)         # the node's last entry
    jnz descend
    call compare
    je found
    ja descend
    mov 8(%si), %ax
    test %ax, %ax
    jz readerr
    add %ax, %si
    jmp search
descend:
    testb $1, 0x0C(%si)
    jz missing
    mov %si, %bx
    add 8(%si), %bx
    mov -8(%bx), %eax           # the subnode's VCN
    imul idxunit, %eax
    mov idxsec, %ecx
    mov alloc, %si
    test %si, %si
    jz readerr
    cmpb $0, 8(%si)
    je readerr
    mov $(BASE + INDEX), %edi
    call readattr
    mov $INDEX, %bx
    mov $0x58444E49, %eax       # "INDX"
    call fixup
    lea 0x18(%bx), %si
    add (%si), %si
    jmp search

found:
    mov (%si), %eax             # NTLDR's record
    call readrec
    mov FILEREC + 0x16, %al     # in use, not a directory
    and $3, %al
    cmp $1, %al
    jne missing
    mov $0x80, %eax
    call findattr
    jc missing
    testw $0x00FF, 0x0C(%si)
    jnz compressed
    mov $LOADSEG, %ax
    mov %ax, %es
    cmpb $0, 8(%si)
    jne 1f
    mov 0x10(%si), %cx          # resident data
    test %cx, %cx
    jz missing
    add 0x14(%si), %si
    xor %di, %di
    rep movsb
    jmp run
1:  mov 0x30(%si), %eax         # data size, below the top of base memory
    test %eax, %eax
    jz missing
    cmpl $0, 0x34(%si)
    jne missing
    pushl %eax
    int $0x12
    movzwl %ax, %ebx
    popl %eax
    shl $10, %ebx
    sub $(LOADSEG << 4), %ebx
    cmp %ebx, %eax
    ja missing
    mov bps, %ecx
    add %ecx, %eax
    dec %eax
    xor %edx, %edx
    div %ecx
    mov %eax, %ecx
    xor %eax, %eax
    mov $(LOADSEG << 4), %edi
    call readattr
run:
    mov DRIVE, %dl
    ljmp $LOADSEG, $0

# eax = the size byte of a record or block (clusters, or when negative the
# bytes' power of two): eax = its sectors, ebx = its bytes.
blocksize:
    test %eax, %eax
    js 1f
    imul spc, %eax
    imul bps, %eax
    jmp 2f
1:  mov %al, %cl
    neg %cl
    mov $1, %eax
    shl %cl, %eax
2:  mov %eax, %ebx
    xor %edx, %edx
    divl bps
    ret

# Reads $MFT record eax to FILEREC and undoes its fixups; bx = FILEREC.
readrec:
    imul recsec, %eax
    mov recsec, %ecx
    mov mftdata, %si
    mov $(BASE + FILEREC), %edi
    call readattr
    mov $FILEREC, %bx
fixfile:
    mov $0x454C4946, %eax       # "FILE"
# Checks the signature eax of the record at bx and puts back the last word
# of each of its 512-byte pieces from the update sequence array.
fixup:
    cmp %eax, (%bx)
    jne readerr
    mov %bx, %si
    add 4(%bx), %si
    mov 6(%bx), %cx
    lodsw
    lea 510(%bx), %di
1:  dec %cx
    jz 2f
    cmp %ax, (%di)
    jne readerr
    mov (%si), %dx
    mov %dx, (%di)
    add $2, %si
    add $512, %di
    jmp 1b
2:  ret

# The attribute of type eax in the record at bx (of type $DATA the unnamed
# one) in si; carry set when there is none.
findattr:
    mov %bx, %si
    add 0x14(%bx), %si
1:  cmpl $0xFFFFFFFF, (%si)
    je 3f
    cmp %eax, (%si)
    jne 2f
    cmp $0x80, %eax
    jne 4f
    cmpb $0, 9(%si)
    je 4f
2:  mov 4(%si), %dx
    test %dx, %dx
    jz 3f
    add %dx, %si
    jmp 1b
3:  stc
    ret
4:  clc
    ret

# Reads ecx sectors of the non-resident attribute at si, from its virtual
# sector eax on, to the linear address edi.
readattr:
    test %ecx, %ecx
    jz 2f
    pushl %eax
    call mapsect
    cmp %ecx, %edx
    jbe 1f
    mov %ecx, %edx
1:  cmp chunk, %edx
    jbe 1f
    mov chunk, %edx
1:  pushl %ecx
    mov %dx, %cx
    call readlba
    popl %ecx
    popl %eax
    add %edx, %eax
    sub %edx, %ecx
    imul bps, %edx
    add %edx, %edi
    jmp readattr
2:  ret

# eax = a virtual sector of the non-resident attribute at si: eax = its
# volume sector, edx = the sectors of its run from there on. A sector past
# the runs or in a sparse run is a read error.
mapsect:
    push %si
    pushl %ecx
    pushl %ebx
    pushl %ebp
    pushl %edi
    mov %eax, %edi              # sectors still to pass
    add 0x20(%si), %si          # the run list
    xor %ebp, %ebp              # the run's first cluster
1:  lodsb
    test %al, %al
    jz readerr
    mov %al, %ch
    mov %al, %cl
    and $0xF, %cl
    call number                 # length in clusters
    imul spc, %edx
    mov %edx, %eax
    mov %ch, %cl
    shr $4, %cl
    mov %cl, %ch
    call number                 # signed cluster offset
    cmp $4, %cl
    jae 2f
    shl $3, %cl
    neg %cl
    add $32, %cl
    shl %cl, %edx
    sar %cl, %edx
2:  add %edx, %ebp
    cmp %eax, %edi
    jb 3f
    sub %eax, %edi
    jmp 1b
3:  test %ch, %ch
    jz readerr
    sub %edi, %eax
    mov %eax, %edx
    mov %ebp, %eax
    imul spc, %eax
    add %edi, %eax
    popl %edi
    popl %ebp
    popl %ebx
    popl %ecx
    pop %si
    ret

# edx = the little-endian number of cl bytes at si (its low 32 bits); si
# moves past it.
number:
    xor %edx, %edx
    movzbw %cl, %bx
    add %bx, %si
    push %si
1:  test %bx, %bx
    jz 2f
    dec %si
    dec %bx
    shl $8, %edx
    mov (%si), %dl
    jmp 1b
2:  pop %si
    ret

# Compares the name of the index entry at si with "NTLDR", capitals for
# small letters: below, equal or above as an unsigned compare sets them.
compare:
    push %si
    movzbw 0x50(%si), %cx       # name length in characters
    lea 0x52(%si), %si
    mov $ntldr, %di
1:  movzbw (%di), %bx
    xor %ax, %ax
    jcxz 3f
    lodsw
    cmp $'a', %ax
    jb 2f
    cmp $'z', %ax
    ja 2f
    sub $0x20, %ax
2:  cmp %bx, %ax
    jne 4f
    inc %di
    dec %cx
    jmp 1b
3:  cmp %bx, %ax
4:  pop %si
    ret

ntldr:
    .ascii "NTLDR\0"
    .balign 4
spc:     .long 0
bps:     .long 0
chunk:   .long 0
recsec:  .long 0
idxsec:  .long 0
idxunit: .long 0
mftdata: .word 0
alloc:   .word 0
.org 0xE00
