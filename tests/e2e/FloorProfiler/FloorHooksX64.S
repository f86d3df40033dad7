// The floor profiler's assembly: a fast-path hook that only returns, and targets that destroy
// every register a C function may destroy.
#if defined(__x86_64__)

        .text

        // QvFloorBareHook(id): the cheapest hook there is.
        .globl QvFloorBareHook
        .hidden QvFloorBareHook
        .type QvFloorBareHook, @function
        .p2align 4
QvFloorBareHook:
        ret
        .size QvFloorBareHook, . - QvFloorBareHook

.macro CLOBBER_INTEGERS
        movabs $0x5A5A5A5A5A5A0001, %rax
        movabs $0x5A5A5A5A5A5A0002, %rcx
        movabs $0x5A5A5A5A5A5A0003, %rdx
        movabs $0x5A5A5A5A5A5A0004, %rsi
        movabs $0x5A5A5A5A5A5A0005, %rdi
        movabs $0x5A5A5A5A5A5A0006, %r8
        movabs $0x5A5A5A5A5A5A0007, %r9
        movabs $0x5A5A5A5A5A5A0008, %r10
        movabs $0x5A5A5A5A5A5A0009, %r11
        // Every status flag changes too (the direction flag stays clear, as the convention says).
        cmp %rdx, %rax
.endm

// Every bit of each vector register set: as a floating-point value, a NaN.
        .globl QvFloorClobberSse
        .hidden QvFloorClobberSse
        .type QvFloorClobberSse, @function
        .p2align 4
QvFloorClobberSse:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        pcmpeqd %xmm\i, %xmm\i
        .endr
        CLOBBER_INTEGERS
        ret
        .size QvFloorClobberSse, . - QvFloorClobberSse

        .globl QvFloorClobberAvx
        .hidden QvFloorClobberAvx
        .type QvFloorClobberAvx, @function
        .p2align 4
QvFloorClobberAvx:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vpcmpeqd %ymm\i, %ymm\i, %ymm\i
        .endr
        CLOBBER_INTEGERS
        ret
        .size QvFloorClobberAvx, . - QvFloorClobberAvx

        // zmm0-zmm31 and the mask registers k0-k7: the stubs save none of xmm16-31 and k0-7,
        // so this also shows that jitted code keeps nothing there across a hook.
        .globl QvFloorClobberAvx512
        .hidden QvFloorClobberAvx512
        .type QvFloorClobberAvx512, @function
        .p2align 4
QvFloorClobberAvx512:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
        vpternlogd $0xFF, %zmm\i, %zmm\i, %zmm\i
        .endr
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7
        kxnorw %k\i, %k\i, %k\i
        .endr
        CLOBBER_INTEGERS
        ret
        .size QvFloorClobberAvx512, . - QvFloorClobberAvx512

#endif

        .section .note.GNU-stack, "", @progbits
