// Version-3 fast-path entry stubs for x86-64. Jitted code calls them straight from the managed
// caller and expects every register back as it was: the integer argument and return registers,
// r10 and r11, and xmm0-xmm15 at the full width the processor has switched on. The client id
// comes in r14 for the enter hook (the argument registers still hold the managed arguments then)
// and in rdi for the leave and tailcall hooks; r15 and rsi carry the caller's stack pointer, which
// the stubs do not use. Each stub saves the registers, calls the published target (HookTargets,
// see HookStubs.h) with (context, id) on a 16-byte aligned stack, and restores them. With no
// targets published a stub returns at once.
//
// Not saved: the status flags (no code keeps a condition live across a call) and xmm16-xmm31 and
// the mask registers k0-k7, which the JIT treats as destroyed by these calls, as by any call.
// Three variants differ only in the vector width saved; HookStubs picks one at start-up.
#if defined(__x86_64__)

#define TARGET_CONTEXT 0
#define TARGET_ENTER 8
#define TARGET_LEAVE 16
#define TARGET_TAILCALL 24

// Bytes of integer registers pushed below the saved rbp.
#define INTEGER_SAVE_SIZE 72

        .text

.macro SAVE_VECTORS width
        .if \width == 16
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movaps %xmm\i, \i*16(%rsp)
        .endr
        .elseif \width == 32
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovaps %ymm\i, \i*32(%rsp)
        .endr
        .else
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovaps %zmm\i, \i*64(%rsp)
        .endr
        .endif
.endm

.macro RESTORE_VECTORS width
        .if \width == 16
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movaps \i*16(%rsp), %xmm\i
        .endr
        .elseif \width == 32
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovaps \i*32(%rsp), %ymm\i
        .endr
        .else
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovaps \i*64(%rsp), %zmm\i
        .endr
        .endif
.endm

// HOOK_STUB name, offset of the target in HookTargets, register holding the id, vector width in
// bytes (16, 32 or 64)
.macro HOOK_STUB name, target, id, width
        .globl \name
        .hidden \name
        .type \name, @function
        .p2align 4
\name:
        .cfi_startproc
        cmpq $0, g_pHookTargets(%rip)
        je 9f
        push %rbp
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset %rbp, 0
        mov %rsp, %rbp
        .cfi_def_cfa_register %rbp
        push %rax
        push %rcx
        push %rdx
        push %rsi
        push %rdi
        push %r8
        push %r9
        push %r10
        push %r11
        sub $(16 * \width), %rsp
        and $-64, %rsp
        SAVE_VECTORS \width
        // Read once: the published targets may be withdrawn meanwhile, the object stays valid.
        mov g_pHookTargets(%rip), %rax
        test %rax, %rax
        jz 1f
        mov \id, %rsi
        mov TARGET_CONTEXT(%rax), %rdi
        .if \width > 16
        // The target is compiled for SSE: a clean upper state spares it the transition cost.
        vzeroupper
        .endif
        call *\target(%rax)
1:
        RESTORE_VECTORS \width
        lea -INTEGER_SAVE_SIZE(%rbp), %rsp
        pop %r11
        pop %r10
        pop %r9
        pop %r8
        pop %rdi
        pop %rsi
        pop %rdx
        pop %rcx
        pop %rax
        pop %rbp
        .cfi_def_cfa %rsp, 8
        .cfi_same_value %rbp
9:
        ret
        .cfi_endproc
        .size \name, . - \name
.endm

        HOOK_STUB QvEnter3Sse, TARGET_ENTER, %r14, 16
        HOOK_STUB QvLeave3Sse, TARGET_LEAVE, %rdi, 16
        HOOK_STUB QvTailcall3Sse, TARGET_TAILCALL, %rdi, 16
        HOOK_STUB QvEnter3Avx, TARGET_ENTER, %r14, 32
        HOOK_STUB QvLeave3Avx, TARGET_LEAVE, %rdi, 32
        HOOK_STUB QvTailcall3Avx, TARGET_TAILCALL, %rdi, 32
        HOOK_STUB QvEnter3Avx512, TARGET_ENTER, %r14, 64
        HOOK_STUB QvLeave3Avx512, TARGET_LEAVE, %rdi, 64
        HOOK_STUB QvTailcall3Avx512, TARGET_TAILCALL, %rdi, 64

#endif

        .section .note.GNU-stack, "", @progbits
