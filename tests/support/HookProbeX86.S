// QvProbeHookCall(pHook, pArgs, argCount, pSeed, pSeen): calls a 32-bit __stdcall hook with its
// argument words and every register seeded from *pSeed (general registers, arithmetic flags, the
// x87 stack top, xmm0-xmm7), then stores in *pSeen what the hook left behind, the stack pointer
// as its distance from where it was before the arguments were pushed. Layout: HookProbe.h.
#if defined(__i386__)

        .section .tbss, "awT", @nobits
        .p2align 2
        // The probe's frame while the hook runs, when no register can be trusted to hold it.
        .type probeFrame, @object
        .size probeFrame, 4
probeFrame:
        .zero 4

        .text
        .globl QvProbeHookCall
        .hidden QvProbeHookCall
        .type QvProbeHookCall, @function
QvProbeHookCall:
        push %ebp
        mov %esp, %ebp
        push %ebx
        push %esi
        push %edi
        // From here on esp = ebp - 12 is where the hook must leave the stack pointer.
        call 1f
1:
        pop %ebx
        addl $_GLOBAL_OFFSET_TABLE_ + (. - 1b), %ebx
        movl probeFrame@GOTNTPOFF(%ebx), %eax
        movl %ebp, %gs:(%eax)
        mov 12(%ebp), %esi
        mov 16(%ebp), %ecx
2:
        test %ecx, %ecx
        jz 3f
        pushl -4(%esi, %ecx, 4)
        dec %ecx
        jmp 2b
3:
        // The return address, then the hook's address for the ret below to jump to.
        lea .Lreturned@GOTOFF(%ebx), %eax
        push %eax
        pushl 8(%ebp)
        mov 20(%ebp), %eax
        fldl 40(%eax)
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7
        movdqu 48+\i*16(%eax), %xmm\i
        .endr
        pushl 32(%eax)
        popfl
        mov 4(%eax), %ecx
        mov 8(%eax), %edx
        mov 12(%eax), %ebx
        mov 16(%eax), %esi
        mov 20(%eax), %edi
        mov 24(%eax), %ebp
        mov 0(%eax), %eax
        ret
.Lreturned:
        pushfl
        pushal
        // pushal stored edi, esi, ebp, esp (before pushal), ebx, edx, ecx, eax from 0(%esp) up;
        // the flags are at 32(%esp).
        call 4f
4:
        pop %ebx
        addl $_GLOBAL_OFFSET_TABLE_ + (. - 4b), %ebx
        movl probeFrame@GOTNTPOFF(%ebx), %eax
        movl %gs:(%eax), %ebp
        mov 24(%ebp), %eax
        mov 28(%esp), %ecx
        mov %ecx, 0(%eax)
        mov 24(%esp), %ecx
        mov %ecx, 4(%eax)
        mov 20(%esp), %ecx
        mov %ecx, 8(%eax)
        mov 16(%esp), %ecx
        mov %ecx, 12(%eax)
        mov 4(%esp), %ecx
        mov %ecx, 16(%eax)
        mov 0(%esp), %ecx
        mov %ecx, 20(%eax)
        mov 8(%esp), %ecx
        mov %ecx, 24(%eax)
        // The hook's stack pointer is the one pushal saw, less the flags pushed before it.
        mov 12(%esp), %ecx
        add $4, %ecx
        lea -12(%ebp), %edx
        sub %edx, %ecx
        mov %ecx, 28(%eax)
        mov 32(%esp), %ecx
        mov %ecx, 32(%eax)
        fstpl 40(%eax)
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7
        movdqu %xmm\i, 48+\i*16(%eax)
        .endr
        lea -12(%ebp), %esp
        pop %edi
        pop %esi
        pop %ebx
        pop %ebp
        ret
        .size QvProbeHookCall, . - QvProbeHookCall

        // QvClobberCallerSaved(vectorBytes): a cdecl function that destroys everything its
        // convention lets it destroy: eax, ecx, edx, the flags, xmm0-xmm7 and the x87 stack. Its
        // argument does not matter here.
        .globl QvClobberCallerSaved
        .hidden QvClobberCallerSaved
        .type QvClobberCallerSaved, @function
QvClobberCallerSaved:
        fninit
        .irp i, 0, 1, 2, 3, 4, 5, 6, 7
        pcmpeqd %xmm\i, %xmm\i
        .endr
        mov $0xDEAD0001, %eax
        mov $0xDEAD0002, %ecx
        mov $0xDEAD0003, %edx
        test %eax, %eax
        ret
        .size QvClobberCallerSaved, . - QvClobberCallerSaved

#endif

        .section .note.GNU-stack, "", @progbits
