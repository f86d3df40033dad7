// QvProbeFastPathHook(pHook, vectorBytes, pSeed, pSeen): calls an x86-64 fast-path hook as
// jitted code does, with every general register and xmm0-xmm15 (vectorBytes of each: 16, 32 or
// 64) seeded from *pSeed (the id already in its register's slot), then stores in *pSeen what the
// hook left behind, the stack pointer as its distance from where it was before the call.
// Layout: HookProbe.h.
// QvClobberCallerSaved(vectorBytes): destroys everything a C function may destroy: rax, rcx,
// rdx, rsi, rdi, r8-r11, the flags, xmm0-xmm15 at vectorBytes, and with 64 also zmm16-zmm31 and
// the mask registers.
#if defined(__x86_64__)

        .section .tbss, "awT", @nobits
        .p2align 3
        // The probe's frame while the hook runs, when no register can be trusted to hold it.
        .type probeFrame, @object
        .size probeFrame, 8
probeFrame:
        .zero 8

// Offsets in HookProbe::Registers.
#define VECTORS 128


        .text
        .globl QvProbeFastPathHook
        .hidden QvProbeFastPathHook
        .type QvProbeFastPathHook, @function
QvProbeFastPathHook:
        push %rbp
        mov %rsp, %rbp
        push %rbx
        push %r12
        push %r13
        push %r14
        push %r15
        // Kept for after the call: pSeen at -48, vectorBytes at -56, pHook at -64. From here on
        // rsp = rbp - 64 (16-byte aligned), where the hook must leave it.
        push %rcx
        push %rsi
        push %rdi
        movq probeFrame@GOTTPOFF(%rip), %rax
        movq %rbp, %fs:(%rax)
        cmp $64, %esi
        je 64f
        cmp $32, %esi
        je 32f
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movdqu VECTORS+\i*64(%rdx), %xmm\i
        .endr
        jmp 1f
32:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu VECTORS+\i*64(%rdx), %ymm\i
        .endr
        jmp 1f
64:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu64 VECTORS+\i*64(%rdx), %zmm\i
        .endr
1:
        mov %rdx, %rax
        mov 8(%rax), %rcx
        mov 16(%rax), %rdx
        mov 24(%rax), %rbx
        mov 40(%rax), %rbp
        mov 48(%rax), %rsi
        mov 56(%rax), %rdi
        mov 64(%rax), %r8
        mov 72(%rax), %r9
        mov 80(%rax), %r10
        mov 88(%rax), %r11
        mov 96(%rax), %r12
        mov 104(%rax), %r13
        mov 112(%rax), %r14
        mov 120(%rax), %r15
        mov 0(%rax), %rax
        call *(%rsp)
        // Every general register onto the stack, rsp's own value last.
        push %r15
        push %r14
        push %r13
        push %r12
        push %r11
        push %r10
        push %r9
        push %r8
        push %rdi
        push %rsi
        push %rbp
        lea 88(%rsp), %rbp
        push %rbp
        push %rbx
        push %rdx
        push %rcx
        push %rax
        movq probeFrame@GOTTPOFF(%rip), %rax
        movq %fs:(%rax), %rbp
        mov -48(%rbp), %rax
        // The stack now holds rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8-r15: the layout of
        // Registers, so copy it in order.
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        mov \i*8(%rsp), %rcx
        mov %rcx, \i*8(%rax)
        .endr
        lea -64(%rbp), %rcx
        sub %rcx, 32(%rax)
        mov -56(%rbp), %rcx
        cmp $64, %ecx
        je 64f
        cmp $32, %ecx
        je 32f
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movdqu %xmm\i, VECTORS+\i*64(%rax)
        .endr
        jmp 2f
32:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu %ymm\i, VECTORS+\i*64(%rax)
        .endr
        vzeroupper
        jmp 2f
64:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu64 %zmm\i, VECTORS+\i*64(%rax)
        .endr
        vzeroupper
2:
        lea -40(%rbp), %rsp
        pop %r15
        pop %r14
        pop %r13
        pop %r12
        pop %rbx
        pop %rbp
        ret
        .size QvProbeFastPathHook, . - QvProbeFastPathHook

        .globl QvClobberCallerSaved
        .hidden QvClobberCallerSaved
        .type QvClobberCallerSaved, @function
QvClobberCallerSaved:
        cmp $64, %edi
        je 64f
        cmp $32, %edi
        je 32f
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        pcmpeqd %xmm\i, %xmm\i
        .endr
        jmp 1f
32:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vpcmpeqd %ymm\i, %ymm\i, %ymm\i
        .endr
        jmp 1f
64:
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
        vpternlogd $0xFF, %zmm\i, %zmm\i, %zmm\i
        .endr
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7
        kxnorw %k\i, %k\i, %k\i
        .endr
1:
        movabs $0x5A5A5A5A5A5A0001, %rax
        movabs $0x5A5A5A5A5A5A0002, %rcx
        movabs $0x5A5A5A5A5A5A0003, %rdx
        movabs $0x5A5A5A5A5A5A0004, %rsi
        movabs $0x5A5A5A5A5A5A0005, %rdi
        movabs $0x5A5A5A5A5A5A0006, %r8
        movabs $0x5A5A5A5A5A5A0007, %r9
        movabs $0x5A5A5A5A5A5A0008, %r10
        movabs $0x5A5A5A5A5A5A0009, %r11
        cmp %rdx, %rax
        ret
        .size QvClobberCallerSaved, . - QvClobberCallerSaved

#endif

        .section .note.GNU-stack, "", @progbits
