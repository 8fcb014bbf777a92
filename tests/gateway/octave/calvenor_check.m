function calvenor_check(condition, varargin)
%CALVENOR_CHECK Fail the test with a formatted message unless CONDITION holds.
    if ~condition
        error('calvenor_test:failed', varargin{:});
    end
end
