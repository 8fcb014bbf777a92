function calvenor_soak(buildDir, calls)
%CALVENOR_SOAK Many calls of the module in one Octave session.
%   CALVENOR_SOAK(BUILDDIR, CALLS) loads Calvenor.mex from BUILDDIR and makes
%   CALLS calls (100 000 by default; the environment variable
%   CALVENOR_SOAK_CALLS overrides it) that mix good calls, reloads, batches,
%   reports, wrong inputs, load failures and clearing of the module. Every
%   good call must return exactly the values of the same call on a fresh
%   module, every failure its identifier and message, and the resident
%   memory of the process must stay within 5 % of its level after the first
%   thousand calls.
    if nargin < 2
        calls = 100000;
    end
    fromEnvironment = str2double(getenv('CALVENOR_SOAK_CALLS'));
    if ~isnan(fromEnvironment)
        calls = fromEnvironment;
    end
    addpath(buildDir);
    previous = pwd();
    root = tempname();
    mkdir(root);
    cleanup = onCleanup(@() leave(previous, root));
    % The host folder; its wrong lists wait in wrongResult/ and are swapped
    % in by renaming (cd would make Octave rescan the folder every time).
    makeFolders(fullfile(root, 'vornevResult'), fullfile(root, 'wrongResult'));
    cd(root);

    P = {[1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0], ...
         [1.3 0.28 0.006 0.035 0.9 0 0.86 0.4 1.2], ...
         [NaN 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0]};
    lists = {'working', 'full'};

    % The reference results: each list, parameter set and penalty switch on
    % a freshly loaded module. (The first call without a reload loads the
    % working list even after a reload, so the full list is loaded second.)
    % An evaluation that stops early (a test that cannot be consolidated)
    % returns the diagnostics of the last completed one; such cases are
    % found by calling them after two different completed evaluations.
    ref = struct();
    for l = 1:2
        for k = 1:numel(P)
            for penalties = 0:1
                clear('Calvenor');
                Calvenor(P{1}, [0 0 0]);
                if l == 2
                    Calvenor(P{1}, [0 0 1]);
                end
                [~, d1] = Calvenor(P{1}, [0 0 0]);
                [e, dA] = Calvenor(P{k}, [penalties 0 0]);
                [~, d2] = Calvenor(P{2}, [1 0 0]);
                [eB, dB] = Calvenor(P{k}, [penalties 0 0]);
                check(isequaln(e, eB), 'the error value depends on the call before');
                stopped = ~isequaln(dA, dB);
                check(~stopped || (isequaln(dA, d1) && isequaln(dB, d2)), 'diagnostics of a stopped call');
                ref.(lists{l}){k, penalties + 1} = {e, dA, stopped};
            end
        end
    end
    check(~isequaln(ref.working{1, 1}{1}, ref.full{1, 1}{1}), 'the two lists give the same value');
    clear('Calvenor');

    % Wrong inputs: the call, the identifier, the end of the message.
    p = P{1};
    s = [0 0 0];
    countText = ['输入参数个数必须为2个,第一个为本构参数向量，第二个为是否输出理论值开关'];
    type1 = 'input 1 (parameters) must be a real, full, two-dimensional double array; got ';
    type2 = 'input 2 (switches) must be a real, full, two-dimensional double array; got ';
    badCalls = {
        @() Calvenor(), 'MATLAB:InputTooBig', countText
        @() Calvenor(p), 'MATLAB:InputTooBig', countText
        @() Calvenor(p, s, 1), 'MATLAB:InputTooBig', countText
        @() Calvenor(int32(p), s), 'Calvenor:badInput', [type1 'a int32 array']
        @() Calvenor(single(p), s), 'Calvenor:badInput', [type1 'a single array']
        @() Calvenor('abcdefghi', s), 'Calvenor:badInput', [type1 'a char array']
        @() Calvenor({p}, s), 'Calvenor:badInput', [type1 'a cell array']
        @() Calvenor(struct('p', p), s), 'Calvenor:badInput', [type1 'a struct array']
        @() Calvenor(p + 1i, s), 'Calvenor:badInput', [type1 'a complex array']
        @() Calvenor(sparse(p), s), 'Calvenor:badInput', [type1 'a sparse array']
        @() Calvenor(p, true(1, 3)), 'Calvenor:badInput', [type2 'a logical array']
        @() Calvenor(p(1:5), s), 'Calvenor:badInput', ...
            ['input 1 (parameters) must be a vector of at least 9 values (one parameter set) ' ...
             'or a K x N matrix with N >= 9 (K parameter sets, one per row); got a 1x5 array']
        @() Calvenor([], s), 'Calvenor:badInput', 'got a 0x0 array'
        @() Calvenor(p, [0 1]), 'Calvenor:badInput', ...
            'input 2 (switches) must be a vector of at least 3 values (penalties, reports, reload); got a 1x2 array'
        @() Calvenor(p, []), 'Calvenor:badInput', 'got a 0x0 array'
    };
    loadMessages = struct( ...
        'working', 'vornevResult/H.txt:1: expected a number for strain in column 1, found ''strain''', ...
        'full', 'vornevResult/missing.txt: cannot open: No such file or directory');

    % The module's load state as the load rule makes it.
    st = struct('pending', true, 'retry', '', 'loaded', '', 'folder', 'good', 'lastD', zeros(1, 11));

    rand('state', 20240601);
    ops = floor(rand(1, calls + 1000) * 100);
    j = 0;
    counts = zeros(1, 8);
    rssCheckEvery = 1000;
    baseline = NaN;
    peak = 0;
    nextCheck = rssCheckEvery;
    started = tic();
    i = 0;
    spent = zeros(1, 8);
    while i < calls
        opStarted = tic();
        j = j + 1;
        op = ops(1 + mod(j - 1, numel(ops)));
        k = 1 + mod(i, numel(P));
        penalties = mod(floor(i / 3), 2);
        if op < 55
            % A good call on the loaded tests (or the load the rule asks for).
            [st, expected] = expectLoad(st, 0);
            [e, d] = Calvenor(P{k}, [penalties 0 0]);
            i = i + 1;
            st = checkResult(e, d, ref, st, k, penalties, expected, i);
            counts(1) = counts(1) + 1;
            kind = 1;
        elseif op < 65
            % A reload (switch 3 = 1, or NaN): the full list.
            reload = 1;
            if op >= 63
                reload = NaN;
            end
            [st, expected] = expectLoad(st, reload);
            [e, d] = Calvenor(P{k}, [penalties 0 reload]);
            i = i + 1;
            st = checkResult(e, d, ref, st, k, penalties, expected, i);
            counts(2) = counts(2) + 1;
            kind = 2;
        elseif op < 85
            b = 1 + mod(i, size(badCalls, 1));
            err = raised(badCalls{b, 1});
            i = i + 1;
            check(strcmp(err.identifier, badCalls{b, 2}), 'call %d: identifier %s for bad input %d', ...
                  i, err.identifier, b);
            check(endsWithText(err.message, badCalls{b, 3}), 'call %d: message "%s" for bad input %d', ...
                  i, err.message, b);
            counts(3) = counts(3) + 1;
            kind = 3;
        elseif op < 95
            % Load failures while the lists are wrong, retried once, then
            % the good lists back.
            swapLists();
            st.folder = 'bad';
            for attempt = 1:2
                [st, expected] = expectLoad(st, attempt == 1);
                err = raised(@() Calvenor(P{k}, [penalties 0 (attempt == 1)]));
                i = i + 1;
                check(strcmp(expected, 'fails'), 'call %d: the model expected no load failure', i);
                check(strcmp(err.identifier, 'Calvenor:loadFailed'), 'call %d: identifier %s', i, err.identifier);
                check(endsWithText(err.message, loadMessages.(st.retry)), 'call %d: message "%s"', i, err.message);
            end
            swapLists();
            st.folder = 'good';
            counts(4) = counts(4) + 1;
            kind = 4;
        elseif op < 97
            % One output only, or none.
            [st, expected] = expectLoad(st, 0);
            if op == 95
                e = Calvenor(P{k}, [penalties 0 0]);
            else
                Calvenor(P{k}, [penalties 0 0]);
                e = ans;
            end
            i = i + 1;
            st = checkResult(e, [], ref, st, k, penalties, expected, i);
            counts(5) = counts(5) + 1;
            kind = 5;
        elseif op == 97
            % With the reports written.
            [st, expected] = expectLoad(st, 0);
            [e, d] = Calvenor(P{k}, [penalties 1 0]);
            i = i + 1;
            st = checkResult(e, d, ref, st, k, penalties, expected, i);
            counts(6) = counts(6) + 1;
            kind = 6;
        elseif op == 98
            % Two parameter sets as one batch.
            [st, expected] = expectLoad(st, 0);
            [E, D] = Calvenor([P{1}; P{2}], [penalties 0 0]);
            i = i + 1;
            st = checkResult(E(1), D(1, :), ref, st, 1, penalties, expected, i);
            st = checkResult(E(2), D(2, :), ref, st, 2, penalties, expected, i);
            counts(7) = counts(7) + 1;
            kind = 7;
        else
            % Unloading the module: the next call starts from an empty store.
            clear('Calvenor');
            st.pending = true;
            st.retry = '';
            st.loaded = '';
            st.lastD = zeros(1, 11);
            counts(8) = counts(8) + 1;
            kind = 8;
        end
        spent(kind) = spent(kind) + toc(opStarted);
        if i >= nextCheck || i >= calls
            rss = residentKilobytes();
            if isnan(baseline)
                baseline = rss;
            end
            peak = max(peak, rss);
            nextCheck = nextCheck + rssCheckEvery;
        end
    end
    seconds = toc(started);
    final = residentKilobytes();
    fprintf(['calvenor_soak: %d calls in %.1f s: %d good, %d reloads, %d wrong inputs, %d load ' ...
             'failures (2 calls each), %d with fewer outputs, %d with reports, %d batches, ' ...
             '%d module clears\n'], i, seconds, counts);
    fprintf('calvenor_soak: seconds spent by kind: %s\n', sprintf(' %.1f', spent));
    fprintf('calvenor_soak: resident memory after 1000 calls %d kB, highest %d kB, at the end %d kB\n', ...
            baseline, peak, final);
    if calls >= rssCheckEvery
        check(peak <= 1.05 * baseline, 'resident memory grew from %d kB to %d kB', baseline, peak);
    end
    fprintf('calvenor_soak: all checks passed\n');
end

% The load rule: a reload request loads the full list; otherwise a failed
% load is retried; otherwise the first call loads the working list. In the
% folder with wrong lists every load fails.
function [st, expected] = expectLoad(st, reloadSwitch)
    kind = '';
    if reloadSwitch ~= 0 || isnan(reloadSwitch)
        kind = 'full';
    elseif ~isempty(st.retry)
        kind = st.retry;
    elseif st.pending
        st.pending = false;
        kind = 'working';
    end
    expected = 'ok';
    if ~isempty(kind)
        if strcmp(st.folder, 'bad')
            st.retry = kind;
            st.loaded = '';
            expected = 'fails';
        else
            st.retry = '';
            st.loaded = kind;
        end
    end
end

function st = checkResult(e, d, ref, st, k, penalties, expected, i)
    check(strcmp(expected, 'ok') && ~isempty(st.loaded), 'call %d: a good call where none was expected', i);
    want = ref.(st.loaded){k, penalties + 1};
    check(isequaln(e, want{1}), 'call %d: error value %.17g, expected %.17g (%s list, set %d)', ...
          i, e, want{1}, st.loaded, k);
    wantD = want{2};
    if want{3}
        wantD = st.lastD;
    end
    if ~isempty(d)
        check(isequaln(d, wantD), 'call %d: the diagnostics changed (%s list, set %d)', i, st.loaded, k);
    end
    st.lastD = wantD;
end

function kb = residentKilobytes()
    status = fileread('/proc/self/status');
    token = regexp(status, 'VmRSS:\s*(\d+)', 'tokens', 'once');
    kb = str2double(token{1});
end

function makeFolders(good, bad)
    rows1 = sprintf('0 0 100 0 0\n0.01 40 113 0.002 0\n0.02 60 120 0.003 0\n0.03 70 123 0.0035 0\n');
    rows2 = sprintf('0 0 200 0 0\n0.01 70 223 0.001 0\n0.02 100 233 0.002 0\n');
    writeText(fullfile(good, 'T1.txt'), rows1);
    writeText(fullfile(good, 'T2.txt'), rows2);
    writeText(fullfile(good, 'evReadInList.txt'), sprintf('.\\vornevResult\\T1.txt 3 100 0.69\n'));
    writeText(fullfile(good, 'evReadInListZong.txt'), ...
              sprintf('.\\vornevResult\\T1.txt 3 100 0.69\n.\\vornevResult\\T2.txt 2 150 0.68\n'));
    writeText(fullfile(bad, 'H.txt'), ['strain q p ev u' char(10) rows1]);
    writeText(fullfile(bad, 'evReadInList.txt'), sprintf('.\\vornevResult\\H.txt 3 100 0.69\n'));
    writeText(fullfile(bad, 'evReadInListZong.txt'), sprintf('.\\vornevResult\\missing.txt 3 100 0.69\n'));
end

% Swaps vornevResult/ and wrongResult/ of the current folder.
function swapLists()
    [ok1, message1] = rename('vornevResult', 'swapping');
    [ok2, message2] = rename('wrongResult', 'vornevResult');
    [ok3, message3] = rename('swapping', 'wrongResult');
    check(ok1 == 0 && ok2 == 0 && ok3 == 0, 'cannot swap the lists: %s %s %s', message1, message2, message3);
end

function writeText(file, text)
    folder = fileparts(file);
    if ~exist(folder, 'dir')
        mkdir(folder);
    end
    fid = fopen(file, 'w');
    fwrite(fid, text);
    fclose(fid);
end

function err = raised(f)
    err = [];
    try
        f();
    catch caught
        err = caught;
    end
    check(~isempty(err), 'the call raised no error');
end

function yes = endsWithText(text, tail)
    yes = numel(text) >= numel(tail) && strcmp(text(end - numel(tail) + 1:end), tail);
end

function check(condition, varargin)
    if ~condition
        error('calvenor_soak:failed', varargin{:});
    end
end

function leave(previous, root)
    cd(previous);
    clear('Calvenor');
    confirm_recursive_rmdir(false, 'local');
    rmdir(root, 's');
end
