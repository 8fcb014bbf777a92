function module = build_calvenor(outdir, gbkMessages)
%BUILD_CALVENOR Build the Calvenor module from its sources.
%   BUILD_CALVENOR() builds the module into the current folder: Calvenor.mex
%   under Octave (with mkoctfile), Calvenor.<mexext> under MATLAB (with mex,
%   e.g. Calvenor.mexw64 on Windows, Calvenor.mexa64 on Linux).
%   BUILD_CALVENOR(OUTDIR) builds it into OUTDIR (created if missing).
%   BUILD_CALVENOR(OUTDIR, true) hands the wrong-input-count message to the
%   host in GBK (code page 936) instead of UTF-8.
%   Returns the full name of the module built.
%
%   The sources are compiled as the results demand to be reproducible to
%   the bit: optimisation -O2, no contraction into fused multiply-adds
%   (-ffp-contract=off), -fno-math-errno, no vectorisation
%   (-fno-tree-vectorize -fno-tree-slp-vectorize: GCC 12's vectoriser drops
%   the double -> float -> double round trips of the model), no fast-math,
%   no machine-specific instructions. With Microsoft Visual C++ (2022 or
%   later): /O2 /fp:precise. A C++20 compiler is needed.
%
%   On x86-64 with GCC or Clang the AVX2 lane kernel is compiled too (its
%   one file with -mavx2 -mno-fma) and chosen at run time where the
%   processor has AVX2, as in the CMake build; elsewhere the portable kernel
%   runs. Either gives the same results to the bit.
%
%   Example (from the top folder of the sources):
%       addpath('matlab'); build_calvenor('build'); addpath('build');

    if nargin < 1 || isempty(outdir)
        outdir = pwd();
    end
    if nargin < 2 || isempty(gbkMessages)
        gbkMessages = false;
    end
    % The build changes folder; the folder and the search path found come
    % back at the end.
    restorePlace = calvenor_pin_path(); %#ok<NASGU> (cleared on return)
    if ~exist(outdir, 'dir')
        mkdir(outdir);
    end
    outdir = absolutePath(outdir);

    root = fileparts(fileparts(mfilename('fullpath')));
    src = fullfile(root, 'src');
    % What the module holds: the gateway and the core it evaluates with.
    files = {'gateway/entry.cpp', 'gateway/gateway.cpp', 'io/files.cpp', 'io/numbers.cpp', ...
             'model/integrators.cpp', 'model/lanes.cpp', 'objective/batch.cpp', 'objective/lane_driver.cpp', ...
             'objective/objective.cpp', 'objective/parameters.cpp', 'objective/worker_pool.cpp', ...
             'report/reports.cpp', 'testdata/data_checks.cpp', 'testdata/free_form.cpp', ...
             'testdata/test_store.cpp'};
    sources = cellfun(@(f) fullfile(src, f), files, 'UniformOutput', false);
    defines = {};
    if gbkMessages
        defines = {'-DCALVENOR_GBK_MESSAGES'};
    end

    % GCC and Clang: the flags the CMake build gives the core.
    exactFlags = '-ffp-contract=off -fno-math-errno -fno-tree-vectorize -fno-tree-slp-vectorize';

    % Object files go to a scratch folder, removed afterwards.
    scratch = tempname();
    mkdir(scratch);
    previousFolder = pwd();
    cleanup = onCleanup(@() leaveScratch(previousFolder, scratch));
    cd(scratch);

    avx2Source = fullfile(src, 'model', 'lanes_avx2.cpp');
    avx2Flags = '-mavx2 -mno-fma';
    if exist('OCTAVE_VERSION', 'builtin') ~= 0
        module = fullfile(outdir, 'Calvenor.mex');
        names = {'CXXFLAGS', 'LDFLAGS'};
        saved = cellfun(@getenv, names, 'UniformOutput', false);
        restoreEnv = onCleanup(@() restoreEnvironment(names, saved));
        if x86_64()
            % The AVX2 kernel, compiled alone for AVX2.
            setenv('CXXFLAGS', ['-std=c++20 -O2 ' exactFlags ' ' avx2Flags]);
            avx2Object = fullfile(scratch, 'lanes_avx2.o');
            [output, status] = mkoctfile('-c', ['-I' src], avx2Source, '-o', avx2Object);
            if status ~= 0
                error('build_calvenor:failed', 'mkoctfile failed:\n%s', output);
            end
            sources{end + 1} = avx2Object;
            defines{end + 1} = '-DCALVENOR_AVX2_KERNEL';
        end
        setenv('CXXFLAGS', ['-std=c++20 -O2 ' exactFlags]);
        setenv('LDFLAGS', '-pthread');
        [output, status] = mkoctfile('--mex', defines{:}, ['-I' src], sources{:}, '-o', module);
        if status ~= 0
            error('build_calvenor:failed', 'mkoctfile failed:\n%s', output);
        end
    else
        module = fullfile(outdir, ['Calvenor.' mexext()]);
        compiler = mex.getCompilerConfigurations('C++', 'Selected');
        if isempty(compiler)
            error('build_calvenor:noCompiler', 'no C++ compiler selected; run mex -setup C++');
        end
        if ~isempty(strfind(compiler.ShortName, 'MSVC'))
            flags = {'COMPFLAGS=$COMPFLAGS /std:c++20 /fp:precise /EHsc', ...
                     'OPTIMFLAGS=/O2 /DNDEBUG'};
        else
            flags = {['CXXFLAGS=$CXXFLAGS -std=c++20 ' exactFlags], ...
                     'CXXOPTIMFLAGS=-O2 -DNDEBUG', 'LDFLAGS=$LDFLAGS -pthread'};
            if x86_64()
                % The AVX2 kernel, compiled alone for AVX2.
                mex('-c', ['CXXFLAGS=$CXXFLAGS -std=c++20 ' exactFlags ' ' avx2Flags], ...
                    'CXXOPTIMFLAGS=-O2 -DNDEBUG', ['-I' src], avx2Source, '-outdir', scratch);
                objects = dir(fullfile(scratch, 'lanes_avx2.o*'));
                sources{end + 1} = fullfile(scratch, objects(1).name);
                defines{end + 1} = '-DCALVENOR_AVX2_KERNEL';
            end
        end
        mex('-R2017b', flags{:}, defines{:}, ['-I' src], sources{:}, ...
            '-outdir', outdir, '-output', 'Calvenor');
    end
    fprintf('built %s\n', module);
end

function yes = x86_64()
% Whether the host runs on x86-64 (Octave: its configured triplet; MATLAB:
% the 64-bit Intel architectures of mexext).
    if exist('OCTAVE_VERSION', 'builtin') ~= 0
        yes = ~isempty(regexp(computer(), '^(x86_64|amd64)', 'once'));
    else
        yes = any(strcmp(computer('arch'), {'glnxa64', 'maci64', 'win64'}));
    end
end

function p = absolutePath(p)
    here = pwd();
    cd(p);
    p = pwd();
    cd(here);
end

function restoreEnvironment(names, values)
% Octave only: an empty value means the variable was not set.
    for k = 1:numel(names)
        if isempty(values{k})
            unsetenv(names{k});
        else
            setenv(names{k}, values{k});
        end
    end
end

function leaveScratch(previousFolder, scratch)
    cd(previousFolder);
    if exist(scratch, 'dir')
        rmdir(scratch, 's');
    end
end
